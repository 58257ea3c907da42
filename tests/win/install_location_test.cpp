// The uninstaller's install-location helpers against the real registry, file system and process
// list: the directory guard, the registry view and its retry, key deletion, a drive root kept from
// the shell, ending processes by name, and the judgement of a listed path against the shell's real
// folders.
#include <windows.h>
#include <gtest/gtest.h>

#include <shlobj.h>
#include <winioctl.h>

#include <string>

#include "tests/win/harness.h"
#include "tests/win/uninstaller_driver.h"
#include "uninstaller/install_location.h"

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

// Wine resolves a drive letter only through the links in its prefix's dosdevices folder, not
// through the object that DefineDosDeviceW makes; its mount manager makes such a link on request
// (a Wine extension, as its drive configuration uses it).
constexpr DWORD kWineDefineUnixDrive =
    CTL_CODE(0x6D, 32, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS);
struct WineUnixDrive {
  ULONG size;
  ULONG type;
  ULONG fs_type;
  DWORD serial;
  ULONGLONG unix_device;
  WCHAR letter;
  USHORT mount_point_offset;
  USHORT device_offset;
  USHORT label_offset;
};

// Links (type DRIVE_FIXED) or unlinks (DRIVE_NO_ROOT_DIR) `letter` to the Unix folder of
// `folder` in Wine's prefix.
bool SetWineDriveLink(wchar_t letter, const std::wstring& folder, ULONG type) {
  using UnixNameFn = char*(CDECL*)(const wchar_t*);
  const auto unix_name = reinterpret_cast<UnixNameFn>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  char* target = unix_name && type != DRIVE_NO_ROOT_DIR ? unix_name(folder.c_str()) : nullptr;
  std::string request(sizeof(WineUnixDrive), '\0');
  if (target) request.append(target).push_back('\0');
  if (target) ::HeapFree(::GetProcessHeap(), 0, target);
  WineUnixDrive* drive = reinterpret_cast<WineUnixDrive*>(&request[0]);
  drive->size = static_cast<ULONG>(request.size());
  drive->type = type;
  drive->letter = letter;
  drive->mount_point_offset = request.size() > sizeof(WineUnixDrive) ? sizeof(WineUnixDrive) : 0;
  const UniqueHandle manager(
      ::CreateFileW(L"\\\\.\\MountPointManager", GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  DWORD returned = 0;
  return manager &&
         ::DeviceIoControl(manager.get(), kWineDefineUnixDrive, &request[0],
                           static_cast<DWORD>(request.size()), nullptr, 0, &returned, nullptr);
}

// A spare drive letter that names `folder` for the object's life.
class MappedDrive {
 public:
  explicit MappedDrive(const std::wstring& folder) : folder_(folder) {
    const DWORD used = ::GetLogicalDrives();
    for (wchar_t letter = L'Y'; letter > L'D' && letter_ == 0; --letter) {
      if (used & (1u << (letter - L'A'))) continue;
      if (!::DefineDosDeviceW(0, Name(letter).c_str(), folder_.c_str())) continue;
      letter_ = letter;
      if (IsRunningUnderWine()) SetWineDriveLink(letter_, folder_, DRIVE_FIXED);
    }
  }
  ~MappedDrive() {
    if (letter_ == 0) return;
    if (IsRunningUnderWine()) SetWineDriveLink(letter_, folder_, DRIVE_NO_ROOT_DIR);
    ::DefineDosDeviceW(DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, Name(letter_).c_str(),
                       folder_.c_str());
  }
  MappedDrive(const MappedDrive&) = delete;
  MappedDrive& operator=(const MappedDrive&) = delete;
  // "X:", empty when no letter could be mapped.
  std::wstring root() const { return letter_ ? Name(letter_) : std::wstring(); }

 private:
  static std::wstring Name(wchar_t letter) { return std::wstring(1, letter) + L":"; }
  const std::wstring folder_;
  wchar_t letter_ = 0;
};

// A drive root never reaches the shell, however it is spelled: the folder behind the letter keeps
// its file.
TEST(InstallLocation, DeletePathSilentlyRefusesADriveRoot) {
  TempDir base;
  const std::wstring folder = base.path() + L"mapped";
  ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
  ASSERT_TRUE(WriteFileBytes(folder + L"\\keep.txt", "kept"));
  {
    const MappedDrive drive(folder);
    const std::wstring root = drive.root();
    ASSERT_FALSE(root.empty()) << "no spare drive letter could be mapped";
    ASSERT_TRUE(Exists(root + L"\\keep.txt")) << "the letter does not reach the folder";
    for (const std::wstring& spelling : {root + L"\\", root + L"/", root + L"\\\\", root}) {
      EXPECT_EQ(DeletePathSilently(spelling), ERROR_BAD_PATHNAME) << Narrow(spelling);
      EXPECT_TRUE(Exists(folder + L"\\keep.txt")) << Narrow(spelling);
    }
  }
}

TEST(InstallLocation, KillProcessesByNameEndsEveryMatchIgnoringCase) {
  Child first(QuoteArgument(BinDir() + L"ferryd.exe")),
      second(QuoteArgument(BinDir() + L"ferryd.exe"));
  Child other(QuoteArgument(BinDir() + L"Zephlin.exe"));
  ASSERT_TRUE(first.started() && second.started() && other.started())
      << "start errors " << first.start_error() << " " << second.start_error() << " "
      << other.start_error();
  EXPECT_TRUE(KillProcessesByName(L"FERRYD.exe"));
  EXPECT_EQ(first.Wait(5000), 0u);
  EXPECT_EQ(second.Wait(5000), 0u);
  EXPECT_EQ(other.Wait(300), static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_TRUE(KillProcessesByName(L"no-such-program.exe"));
}

// The listed path is judged after resolving it, against the folders this system really has. Both
// sets of program folders are refused in this (64-bit) build as in the shipped 32-bit one, whose
// shell folders name only the (x86) set; so are the profiles folder and every profile in it.
TEST(InstallLocation, ListedPathIsJudgedAgainstTheShellFolders) {
  const std::wstring desktop = ShellFolder(CSIDL_DESKTOPDIRECTORY);
  const std::wstring profile = ShellFolder(CSIDL_PROFILE);
  ASSERT_FALSE(desktop.empty());
  const std::wstring profiles = profile.substr(0, profile.find_last_of(L'\\'));
  const std::wstring program_files = L"C:\\Program Files",
                     program_files_x86 = L"C:\\Program Files (x86)";
  const std::wstring product_folder = program_files + L"\\Varnelo Shortcuts";
  const std::wstring product_shortcut = desktop + L"\\Varnelo VPN.lnk";
  const std::wstring other_profile = profiles + L"\\VarneloOtherUser";
  for (const std::wstring& folder : {product_folder, other_profile})
    ::CreateDirectoryW(folder.c_str(), nullptr);
  ASSERT_TRUE(WriteFileBytes(product_shortcut, "shortcut"));
  wchar_t short_name[MAX_PATH] = {};
  ::GetShortPathNameW(program_files.c_str(), short_name, MAX_PATH);

  // Each of these exists here, so its refusal is the guard's, not that of a missing path.
  for (const std::wstring& kept :
       {program_files, program_files_x86, program_files + L"\\Common Files",
        program_files_x86 + L"\\Common Files", std::wstring(short_name),
        ShellFolder(CSIDL_COMMON_APPDATA), profiles, other_profile, profiles + L"\\Public", profile,
        desktop, desktop + L"\\", ShellFolder(CSIDL_STARTMENU), ShellFolder(CSIDL_PERSONAL),
        ShellFolder(CSIDL_WINDOWS)}) {
    EXPECT_TRUE(Exists(kept)) << Narrow(kept);
    EXPECT_FALSE(IsSafeListedPath(kept)) << Narrow(kept);
  }
  // The product's own folder and shortcut pass; roots and relative paths fail on their text first
  // ("c:" would resolve to a folder), and a path that is not there is not deleted.
  for (const std::wstring& listed : {product_folder, product_folder + L"\\", product_shortcut}) {
    EXPECT_TRUE(IsSafeListedPath(listed)) << Narrow(listed);
  }
  for (const std::wstring& kept : {std::wstring(L"c:"), desktop + L"\\Absent Folder"}) {
    EXPECT_FALSE(IsSafeListedPath(kept)) << Narrow(kept);
  }
  for (const std::wstring& folder : {product_folder, other_profile})
    ::RemoveDirectoryW(folder.c_str());
  ::DeleteFileW(product_shortcut.c_str());
}

}  // namespace
}  // namespace test
}  // namespace varnelo
