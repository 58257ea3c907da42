// The uninstaller's install-location helpers against the real registry, file system and process
// list: the directory guard, the registry view and its retry, key deletion, ending processes by
// name, and the judgement of a listed path against the shell's real folders.
#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>

#include <string>

#include "tests/win/harness.h"
#include "uninstaller/install_location.h"
#include "tests/win/uninstaller_driver.h"

namespace varnelo {
namespace test {
namespace {

constexpr wchar_t kTestKey[] = L"SOFTWARE\\VarneloLocationTest";

void DeleteInBothViews(const std::wstring& path) {
  for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
    ::RegDeleteTreeW(CreateKey(HKEY_LOCAL_MACHINE, path, view).get(), nullptr);
    ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), view, 0);
  }
}

TEST(InstallLocation, ProductDirNeedsTheNameAndAMarkerFile) {
  TempDir base;
  const std::wstring dir = base.path() + L"VARNELO\\";
  ASSERT_TRUE(::CreateDirectoryW(dir.c_str(), nullptr));
  EXPECT_FALSE(IsProductDir(dir)) << "no marker";
  ASSERT_TRUE(::CreateDirectoryW((dir + L"Varnelo.exe").c_str(), nullptr));
  EXPECT_FALSE(IsProductDir(dir)) << "a folder is no marker";
  ASSERT_TRUE(WriteFileBytes(dir + L"uninstall.exe", "MZ"));
  EXPECT_TRUE(IsProductDir(dir));
}

TEST(InstallLocation, RegistryReadsTheProgramsViewAndDeletesThere) {
  DeleteInBothViews(kTestKey);
  std::wstring value;
  {
    const UniqueRegKey view32 = CreateKey(HKEY_LOCAL_MACHINE, kTestKey, KEY_WOW64_32KEY);
    const UniqueRegKey view64 = CreateKey(HKEY_LOCAL_MACHINE, kTestKey, KEY_WOW64_64KEY);
    SetString(view32.get(), L"Both", L"32");
    SetString(view64.get(), L"Both", L"64");
    SetString(view64.get(), L"Only64", L"found by the retry");
  }
  EXPECT_TRUE(ReadRegString(HKEY_LOCAL_MACHINE, kTestKey, L"Both", &value));
  EXPECT_EQ(value, L"32");
  EXPECT_TRUE(ReadRegString(HKEY_LOCAL_MACHINE, kTestKey, L"Only64", &value));
  EXPECT_EQ(value, L"found by the retry");
  EXPECT_FALSE(ReadRegString(HKEY_LOCAL_MACHINE, kTestKey, L"Nowhere", &value));
  EXPECT_EQ(value, L"");

  // A key only in the 64-bit view is not the program's.
  const std::wstring only64 = std::wstring(kTestKey) + L"\\Only64Key";
  SetString(CreateKey(HKEY_LOCAL_MACHINE, only64, KEY_WOW64_64KEY).get(), L"Name", L"x");
  EXPECT_FALSE(ReadRegString(HKEY_LOCAL_MACHINE, only64.c_str(), L"Name", &value));

  // Deletion in the program's view, subkeys included; the other view keeps its key.
  CreateKey(HKEY_LOCAL_MACHINE, std::wstring(kTestKey) + L"\\Sub\\Deeper", KEY_WOW64_32KEY);
  EXPECT_TRUE(DeleteRegTree(HKEY_LOCAL_MACHINE, kTestKey));
  EXPECT_FALSE(ReadRegString(HKEY_LOCAL_MACHINE, kTestKey, L"Both", &value));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kTestKey, KEY_WOW64_64KEY));
  EXPECT_FALSE(DeleteRegTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\VarneloLocationTest\\Absent"));
  DeleteInBothViews(kTestKey);
}

TEST(InstallLocation, KillProcessesByNameEndsEveryMatchIgnoringCase) {
  Child first(QuoteArgument(BinDir() + L"ferryd.exe")), second(QuoteArgument(BinDir() + L"ferryd.exe"));
  Child other(QuoteArgument(BinDir() + L"Zephlin.exe"));
  ASSERT_TRUE(first.started() && second.started() && other.started());
  EXPECT_TRUE(KillProcessesByName(L"FERRYD.exe"));
  EXPECT_EQ(first.Wait(5000), 0u);
  EXPECT_EQ(second.Wait(5000), 0u);
  EXPECT_EQ(other.Wait(300), static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_TRUE(KillProcessesByName(L"no-such-program.exe"));
}

// The listed path is judged after resolving it, against the folders this system really has.
TEST(InstallLocation, ListedPathIsJudgedAgainstTheShellFolders) {
  const std::wstring desktop = ShellFolder(CSIDL_DESKTOPDIRECTORY);
  const std::wstring programFiles = ShellFolder(CSIDL_PROGRAM_FILES);
  ASSERT_FALSE(desktop.empty());
  const std::wstring productFolder = desktop + L"\\Varnelo Shortcuts";
  ::CreateDirectoryW(productFolder.c_str(), nullptr);
  wchar_t shortName[MAX_PATH] = {};
  ::GetShortPathNameW(programFiles.c_str(), shortName, MAX_PATH);

  EXPECT_TRUE(IsSafeListedPath(productFolder));
  EXPECT_TRUE(IsSafeListedPath(productFolder + L"\\"));
  // Roots, relative and climbing paths fail on their text first ("c:" would resolve to a folder).
  for (const std::wstring& kept :
       {desktop, desktop + L"\\", programFiles, std::wstring(shortName), ShellFolder(CSIDL_PROFILE),
        ShellFolder(CSIDL_STARTMENU), ShellFolder(CSIDL_PERSONAL), ShellFolder(CSIDL_WINDOWS), std::wstring(L"c:"),
        desktop + L"\\Absent Folder"}) {
    EXPECT_FALSE(IsSafeListedPath(kept)) << Narrow(kept);
  }
  ::RemoveDirectoryW(productFolder.c_str());
}

}  // namespace
}  // namespace test
}  // namespace varnelo
