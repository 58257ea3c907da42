// uninstall.exe started from %TEMP%: single window, confirmation in both languages, planted DLLs,
// resources.
#include <gtest/gtest.h>
#include <windows.h>

#include <vector>

#include "common/platform.h"
#include "tests/win/harness.h"
#include "tests/win/uninstaller_driver.h"
#include "tests/win/version_resource.h"

namespace varnelo {
namespace test {
namespace {

class Uninstaller : public ::testing::Test {
 protected:
  UninstallerRun run_;
};

// The confirmation speaks the UI language (the ctest entry uninstaller_test_zh runs this under a
// Chinese one). A second copy brings the first window forward and leaves; Cancel ends the program
// at once and leaves its copy in place. (The relaunch from the install folder is the removal's.)
TEST_F(Uninstaller, ConfirmsInTheUiLanguageAndKeepsOneWindow) {
  const bool chinese = (::GetUserDefaultUILanguage() & 0x3FF) == LANG_CHINESE;
  const HWND dialog = run_.Start();
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(WindowText(dialog), chinese ? L"Varnelo \u5378\u8f7d\u7a0b\u5e8f" : L"Varnelo Uninstall Window");
  EXPECT_EQ(WindowText(::GetDlgItem(dialog, 0xFFFF)),
            chinese ? L"\u786e\u5b9a\u8981\u5b8c\u5168\u5378\u8f7d Varnelo \u5417\uff1f"
                    : L"Are you sure you want to completely remove Varnelo?");
  const HWND window = FindUninstallWindow();
  ASSERT_NE(window, nullptr);
  ::ShowWindow(window, SW_MINIMIZE);
  Child second(QuoteArgument(run_.CopyPath()), run_.Env());
  EXPECT_EQ(second.Wait(10000), 0u);
  EXPECT_FALSE(::IsIconic(window)) << "the first window was not restored";
  EXPECT_EQ(FindUninstallWindow(), window);
  Answer(dialog, IDCANCEL);
  EXPECT_EQ(run_.child().Wait(10000), 0u);
  EXPECT_TRUE(Exists(run_.CopyPath()));
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
    EXPECT_EQ(RunToEnd(QuoteArgument(dir.path() + L"probe.exe") + L" " + c.mode + L" canary-probe.dll", 20000, env).exitCode,
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
  // Wine: prefer a DLL found on disk.
  const HWND dialog = run_.Start(L"", {{L"VARNELO_CANARY_MARKER", marker}, {L"WINEDLLOVERRIDES", L"gdiplus=n,b;mscoree,mshtml="}});
  ASSERT_NE(dialog, nullptr);
  ASSERT_NE(FindUninstallWindow(), nullptr);  // drawn, so its images were decoded through GDI+
  Answer(dialog, IDCANCEL);
  EXPECT_EQ(run_.child().Wait(10000), 0u);
  EXPECT_FALSE(Exists(marker)) << "uninstall.exe loaded a DLL from its own folder";
}

// What a broken resource build would lose: the version block, the skin archive under the
// language the program looks it up in, and the icon sizes.
TEST(UninstallerResources, VersionArchiveAndIcons) {
  const std::wstring exe = BinDir() + L"uninstall.exe";
  const VersionBlock version(exe);
  EXPECT_EQ(version.Translation(), L"080404b0");
  EXPECT_EQ(version.Value(L"FileVersion"), kProductVersion);

  const std::string zip = ResourceBytes(exe, L"ZIPRES", MAKEINTRESOURCEW(102),
                                        MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED));
  EXPECT_EQ(zip.substr(0, 2), "PK");
  const std::string group = ResourceBytes(exe, RT_GROUP_ICON, MAKEINTRESOURCEW(101));
  ASSERT_GE(group.size(), 6u);
  const auto octet = [&](size_t at) { return at < group.size() ? static_cast<unsigned char>(group[at]) : 0; };
  std::vector<int> sizes;
  for (int i = 0, count = octet(4) | (octet(5) << 8); i < count; ++i) sizes.push_back(octet(6 + 14 * i) == 0 ? 256 : octet(6 + 14 * i));
  EXPECT_EQ(sizes, (std::vector<int>{16, 20, 24, 32, 48, 64, 128, 256}));
}

}  // namespace
}  // namespace test
}  // namespace varnelo
