// uninstall.exe started from an install-like folder or from %TEMP%: relaunch, single window,
// confirmation in both languages, planted DLLs, resources.
#include <gtest/gtest.h>
#include <windows.h>

#include <cwchar>
#include <vector>

#include "common/platform.h"
#include "tests/win/harness.h"
#include "tests/win/uninstaller_driver.h"

namespace varnelo {
namespace test {
namespace {

class Uninstaller : public ::testing::Test {
 protected:
  UninstallerRun run_;
};

TEST_F(Uninstaller, RelaunchesOnceFromTempAndKeepsOneWindow) {
  if (IsChineseUi()) GTEST_SKIP() << "checks the English confirmation";
  TempDir install;
  const std::wstring installed = install.path() + L"uninstall.exe";
  ASSERT_TRUE(::CopyFileW((BinDir() + L"uninstall.exe").c_str(), installed.c_str(), FALSE));
  ASSERT_TRUE(WriteFileBytes(run_.temp() + L"uninstall.exe", "stale copy"));  // overwritten

  Child first(Quote(installed), run_.Env());
  EXPECT_EQ(first.Wait(10000), 0u);
  EXPECT_NE(ReadFileBytes(run_.temp() + L"uninstall.exe"), "stale copy");
  EXPECT_EQ(CountMatches(run_.temp() + L"*.exe"), 1u);

  HWND window = nullptr;
  ASSERT_TRUE(WaitUntil(15000, [&] { return (window = FindMainWindow()) != nullptr; })) << "the copy showed no window";
  DWORD copyPid = 0;
  ::GetWindowThreadProcessId(window, &copyPid);
  const HWND dialog = WaitForConfirmation(copyPid);
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(WindowText(dialog), L"Varnelo Uninstall Window");
  EXPECT_EQ(DialogMessage(dialog), L"Are you sure you want to completely remove Varnelo?");

  // A second copy finds the first window, brings it forward and leaves.
  ::ShowWindow(window, SW_MINIMIZE);
  Child second(Quote(run_.CopyPath()), run_.Env());
  EXPECT_EQ(second.Wait(10000), 0u);
  EXPECT_FALSE(::IsIconic(window)) << "the first window was not restored";
  EXPECT_EQ(FindMainWindow(), window);

  // Cancel ends the copy at once, removes nothing and leaves the copy in place.
  const UniqueHandle copy(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, copyPid));
  Answer(dialog, IDCANCEL);
  ASSERT_EQ(::WaitForSingleObject(copy.get(), 10000), WAIT_OBJECT_0);
  DWORD code = 1;
  ::GetExitCodeProcess(copy.get(), &code);
  EXPECT_EQ(code, 0u);
  EXPECT_TRUE(Exists(run_.temp() + L"uninstall.exe"));
}

TEST_F(Uninstaller, ChineseConfirmation) {
  if (!IsChineseUi()) {
    GTEST_SKIP() << "runs under a Chinese UI language (under Wine: LANG=zh_CN.UTF-8, the ctest "
                    "entry uninstaller_test_zh)";
  }
  const HWND dialog = run_.Start();
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(WindowText(dialog), L"Varnelo \u5378\u8f7d\u7a0b\u5e8f");
  EXPECT_EQ(DialogMessage(dialog), L"\u786e\u5b9a\u8981\u5b8c\u5168\u5378\u8f7d Varnelo \u5417\uff1f");
  ::Sleep(700);  // let the box finish drawing
  SaveScreenshot(FindMainWindow(), L"confirm-zh");
  Answer(dialog, IDCANCEL);
  EXPECT_EQ(run_.child().Wait(10000), 0u);
}

// Under Wine the names the uninstaller loads (gdiplus, wininet) resolve to built-in DLLs first, so
// a canary planted under them proves little. A name Wine has no built-in for, beside a probe that
// uses the uninstaller's own code, shows each defence on its own: the bare load is the control
// (the folder is searched and the canary reports), then the start-up restriction and the
// system-directory load each refuse it. Windows searches the program's folder the same way.
TEST(DllSearch, CanaryBesideAProgramLoadsOnlyWithoutTheDefences) {
  TempDir dir;
  const std::wstring marker = dir.path() + L"canary-loaded";
  ASSERT_TRUE(::CopyFileW((BinDir() + L"dll_search_probe.exe").c_str(), (dir.path() + L"probe.exe").c_str(), FALSE));
  ASSERT_TRUE(::CopyFileW((BinDir() + L"canary.dll").c_str(), (dir.path() + L"canary-probe.dll").c_str(), FALSE));
  const Environment env = {{L"VARNELO_CANARY_MARKER", marker}};
  const struct {
    const wchar_t* mode;
    DWORD exitCode;
  } cases[] = {{L"bare", 0}, {L"restricted", 1}, {L"system", 1}};
  for (const auto& c : cases) {
    ::DeleteFileW(marker.c_str());
    EXPECT_EQ(RunToEnd(Quote(dir.path() + L"probe.exe") + L" " + c.mode + L" canary-probe.dll", 20000, env).exitCode,
              c.exitCode)
        << Narrow(c.mode);
    EXPECT_EQ(Exists(marker), c.exitCode == 0) << Narrow(c.mode);
  }
}

// The real program with both defences, a canary planted beside it under the name of GDI+, which
// it loads before the window shows (WinINet goes through the same loader, proven above).
TEST_F(Uninstaller, DllPlantedInTempIsNotLoaded) {
  const std::wstring marker = run_.temp() + L"canary-loaded";
  ASSERT_TRUE(::CopyFileW((BinDir() + L"canary.dll").c_str(), (run_.temp() + L"gdiplus.dll").c_str(), FALSE));
  Environment env = run_.Env();
  env[L"VARNELO_CANARY_MARKER"] = marker;
  env[L"WINEDLLOVERRIDES"] = L"gdiplus=n,b;mscoree,mshtml=";  // Wine: prefer a DLL found on disk
  Child child(Quote(run_.CopyPath()), env);
  const HWND dialog = WaitForConfirmation(child.pid());
  ASSERT_NE(dialog, nullptr);
  ASSERT_NE(FindMainWindow(), nullptr);  // drawn, so its images were decoded through GDI+
  Answer(dialog, IDCANCEL);
  EXPECT_EQ(child.Wait(10000), 0u);
  EXPECT_FALSE(Exists(marker)) << "uninstall.exe loaded a DLL from its own folder";
}

std::wstring VersionString(const std::vector<BYTE>& block, const wchar_t* name) {
  void* value = nullptr;
  UINT length = 0;
  const std::wstring path = std::wstring(L"\\StringFileInfo\\080404b0\\") + name;
  if (!::VerQueryValueW(block.data(), path.c_str(), &value, &length) || length == 0) return L"";
  return static_cast<const wchar_t*>(value);
}

TEST(UninstallerResources, VersionArchiveAndIcons) {
  const std::wstring exe = BinDir() + L"uninstall.exe";
  const DWORD size = ::GetFileVersionInfoSizeW(exe.c_str(), nullptr);
  ASSERT_GT(size, 0u);
  std::vector<BYTE> block(size);
  ASSERT_TRUE(::GetFileVersionInfoW(exe.c_str(), 0, size, block.data()));
  EXPECT_EQ(VersionString(block, L"FileDescription"), L"Varnelo VPN Uninstaller");
  EXPECT_EQ(VersionString(block, L"CompanyName"), L"Varnelo VPN");
  EXPECT_EQ(VersionString(block, L"ProductName"), L"Varnelo VPN");
  EXPECT_EQ(VersionString(block, L"FileVersion"), L"3.0.22.0");
  EXPECT_EQ(VersionString(block, L"ProductVersion"), L"3.0.22.0");
  EXPECT_EQ(VersionString(block, L"InternalName"), L"uninstall.exe");
  EXPECT_EQ(VersionString(block, L"OriginalFilename"), L"uninstall.exe");

  HMODULE image = ::LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(image, nullptr);
  HRSRC archive = ::FindResourceExW(image, L"ZIPRES", MAKEINTRESOURCEW(102), MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED));
  ASSERT_NE(archive, nullptr);
  const BYTE* zip = static_cast<const BYTE*>(::LockResource(::LoadResource(image, archive)));
  ASSERT_NE(zip, nullptr);
  EXPECT_EQ(zip[0], 'P');
  EXPECT_EQ(zip[1], 'K');
  HRSRC icons = ::FindResourceW(image, MAKEINTRESOURCEW(101), RT_GROUP_ICON);
  ASSERT_NE(icons, nullptr);
  const BYTE* group = static_cast<const BYTE*>(::LockResource(::LoadResource(image, icons)));
  const WORD count = static_cast<WORD>(group[4] | (group[5] << 8));
  ASSERT_EQ(count, 8);
  std::vector<int> sizes;
  for (WORD i = 0; i < count; ++i) sizes.push_back(group[6 + 14 * i] == 0 ? 256 : group[6 + 14 * i]);
  EXPECT_EQ(sizes, (std::vector<int>{16, 20, 24, 32, 48, 64, 128, 256}));
  ::FreeLibrary(image);
}

}  // namespace
}  // namespace test
}  // namespace varnelo
