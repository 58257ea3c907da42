// uninstall.exe driven as a person would: started from an install-like folder or from %TEMP%,
// its confirmation answered, its progress bar measured on screen, its close button clicked.
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include <cwchar>
#include <vector>

#include "common/platform.h"
#include "tests/win/harness.h"
#include "uninstaller/progress.h"

namespace varnelo {
namespace test {
namespace {

constexpr wchar_t kClass[] = L"CMainWnd";
constexpr wchar_t kTitle[] = L"Varnelo Uninstall Window";
constexpr COLORREF kBarColour = RGB(0xF0, 0x54, 0x3F);
// Where the bar is drawn, in window pixels: the 4-pixel shadow margin, title 32, rule 1,
// logo 30 + 124, track padding 30; the track starts 25 pixels in and is 350 wide.
constexpr int kBarRow = 4 + 32 + 1 + 30 + 124 + 30 + 3;
constexpr int kTrackLeft = 4 + 25;
constexpr int kTrackWidth = 350;
constexpr POINT kCloseButton = {4 + 400 - 23, 4 + 16};

void EndStrayUninstallers() {
  const UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry)) {
    if (_wcsicmp(entry.szExeFile, L"uninstall.exe") != 0) continue;
    const UniqueHandle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID));
    if (process && ::TerminateProcess(process.get(), 1)) ::WaitForSingleObject(process.get(), 5000);
  }
}

// Windows has timeout.exe; a Wine prefix needs ours for the delayed relaunch and self-deletion.
void EnsureTimeoutExe() {
  wchar_t system[MAX_PATH];
  ::GetSystemDirectoryW(system, MAX_PATH);
  const std::wstring target = std::wstring(system) + L"\\timeout.exe";
  if (::GetFileAttributesW(target.c_str()) == INVALID_FILE_ATTRIBUTES && IsRunningUnderWine()) {
    ::CopyFileW((BinDir() + L"timeout.exe").c_str(), target.c_str(), TRUE);
  }
}

HWND FindMainWindow() { return ::FindWindowW(kClass, kTitle); }

struct DialogSearch {
  DWORD pid;
  HWND found;
};

BOOL CALLBACK MatchDialog(HWND hwnd, LPARAM param) {
  DialogSearch* search = reinterpret_cast<DialogSearch*>(param);
  wchar_t className[32] = {};
  ::GetClassNameW(hwnd, className, 32);
  DWORD pid = 0;
  ::GetWindowThreadProcessId(hwnd, &pid);
  if (pid == search->pid && std::wstring(className) == L"#32770" && ::IsWindowVisible(hwnd)) {
    search->found = hwnd;
    return FALSE;
  }
  return TRUE;
}

HWND WaitForConfirmation(DWORD pid, DWORD timeoutMs = 20000) {
  DialogSearch search = {pid, nullptr};
  WaitUntil(timeoutMs, [&] {
    ::EnumWindows(MatchDialog, reinterpret_cast<LPARAM>(&search));
    return search.found != nullptr;
  });
  return search.found;
}

std::wstring WindowText(HWND hwnd) {
  wchar_t text[512] = {};
  ::GetWindowTextW(hwnd, text, 512);
  return text;
}

std::wstring DialogMessage(HWND dialog) {
  wchar_t text[512] = {};
  ::GetDlgItemTextW(dialog, 0xFFFF, text, 512);  // the message box's static text
  return text;
}

// Presses a button of the message box and returns once the box is gone.
void Answer(HWND dialog, int button) {
  ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(dialog, button)));
  ::PostMessageW(dialog, WM_NULL, 0, 0);  // wakes a modal loop that waits for its next message
  WaitUntil(10000, [&] { return !::IsWindow(dialog); });
}

// Captures the window as it is on screen (top-down 32-bit pixels).
std::vector<DWORD> Capture(HWND window, int* width, int* height) {
  RECT r;
  ::GetWindowRect(window, &r);
  *width = r.right - r.left;
  *height = r.bottom - r.top;
  std::vector<DWORD> pixels(static_cast<size_t>(*width) * *height);
  HDC screen = ::GetDC(nullptr);
  HDC memory = ::CreateCompatibleDC(screen);
  HBITMAP bitmap = ::CreateCompatibleBitmap(screen, *width, *height);
  HGDIOBJ old = ::SelectObject(memory, bitmap);
  ::BitBlt(memory, 0, 0, *width, *height, screen, r.left, r.top, SRCCOPY);
  ::SelectObject(memory, old);
  BITMAPINFO info = {};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), *width, -*height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  ::GetDIBits(memory, bitmap, 0, *height, pixels.data(), &info, DIB_RGB_COLORS);
  ::DeleteObject(bitmap);
  ::DeleteDC(memory);
  ::ReleaseDC(nullptr, screen);
  return pixels;
}

// Saves the window's pixels as a BMP when VARNELO_SCREENSHOT_DIR names a folder.
void SaveScreenshot(HWND window, const wchar_t* name) {
  bool present = false;
  const std::wstring dir = ReadEnvironmentVariable(L"VARNELO_SCREENSHOT_DIR", &present);
  if (dir.empty()) return;
  int width = 0, height = 0;
  const std::vector<DWORD> pixels = Capture(window, &width, &height);
  BITMAPFILEHEADER file = {};
  BITMAPINFOHEADER info = {sizeof(info), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof(file) + sizeof(info);
  file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size() * 4);
  std::string bytes(reinterpret_cast<const char*>(&file), sizeof(file));
  bytes.append(reinterpret_cast<const char*>(&info), sizeof(info));
  bytes.append(reinterpret_cast<const char*>(pixels.data()), pixels.size() * 4);
  WriteFileBytes(dir + L"\\" + name + L".bmp", bytes);
}

// Width of the red part of the progress track, in pixels, as drawn on screen.
int BarPixels(HWND window) {
  int width = 0, height = 0;
  const std::vector<DWORD> pixels = Capture(window, &width, &height);
  if (height <= kBarRow || width < kTrackLeft + kTrackWidth) return -1;
  int count = 0;
  for (int x = kTrackLeft; x < kTrackLeft + kTrackWidth; ++x) {
    const DWORD p = pixels[static_cast<size_t>(kBarRow) * width + x] & 0xFFFFFF;
    if (RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF) == kBarColour) ++count;
  }
  return count;
}

void ClickCloseButton(HWND window) {
  const LPARAM at = MAKELPARAM(kCloseButton.x, kCloseButton.y);
  ::PostMessageW(window, WM_MOUSEMOVE, 0, at);
  ::PostMessageW(window, WM_LBUTTONDOWN, MK_LBUTTON, at);
  ::PostMessageW(window, WM_LBUTTONUP, 0, at);
}

bool IsChineseUi() { return (::GetUserDefaultUILanguage() & 0x3FF) == LANG_CHINESE; }

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

class Uninstaller : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureTimeoutExe();
    EndStrayUninstallers();
    temp_ = temp_dir_.path().substr(0, temp_dir_.path().size() - 1);
  }
  void TearDown() override { EndStrayUninstallers(); }

  // The program placed in %TEMP% already, so it runs in place.
  std::wstring CopyIntoTemp() {
    const std::wstring path = temp_dir_.path() + L"uninstall.exe";
    ::CopyFileW((BinDir() + L"uninstall.exe").c_str(), path.c_str(), FALSE);
    return path;
  }
  Environment Env(const std::wstring& schedule = L"") const {
    Environment env = {{L"TEMP", temp_}, {L"TMP", temp_}};
    if (!schedule.empty()) env[L"VARNELO_UNINSTALL_SCHEDULE"] = schedule;
    return env;
  }
  // Starts the copy and confirms; false when no confirmation or no window showed.
  bool StartConfirmed(Child* child, const std::wstring& schedule) {
    *child = Child(Quote(CopyIntoTemp()), Env(schedule));
    const HWND dialog = WaitForConfirmation(child->pid());
    if (dialog == nullptr) return false;
    Answer(dialog, IDOK);
    confirmed_ = ::GetTickCount64();
    window_ = FindMainWindow();
    return window_ != nullptr;
  }
  ULONGLONG SinceConfirmed() const { return ::GetTickCount64() - confirmed_; }
  // Measures the bar and checks it against the phase arithmetic for the elapsed time.
  void ExpectBarNear(int (*expected)(ULONGLONG)) {
    const ULONGLONG before = SinceConfirmed();
    const int measured = BarPixels(window_);
    const ULONGLONG after = SinceConfirmed();
    const int low = expected(before > 300 ? before - 300 : 0), high = expected(after + 50);
    EXPECT_GE(measured, std::min(low, kTrackWidth)) << "at " << before << " ms";
    EXPECT_LE(measured, std::min(high, kTrackWidth)) << "at " << after << " ms";
  }

  TempDir temp_dir_;
  std::wstring temp_;
  ULONGLONG confirmed_ = 0;
  HWND window_ = nullptr;
};

TEST_F(Uninstaller, RelaunchesOnceFromTempAndKeepsOneWindow) {
  if (IsChineseUi()) GTEST_SKIP() << "checks the English confirmation";
  TempDir install;
  const std::wstring installed = install.path() + L"uninstall.exe";
  ASSERT_TRUE(::CopyFileW((BinDir() + L"uninstall.exe").c_str(), installed.c_str(), FALSE));
  ASSERT_TRUE(WriteFileBytes(temp_dir_.path() + L"uninstall.exe", "stale copy"));  // overwritten

  Child first(Quote(installed), Env());
  EXPECT_EQ(first.Wait(10000), 0u);
  EXPECT_NE(ReadFileBytes(temp_dir_.path() + L"uninstall.exe"), "stale copy");
  EXPECT_EQ(CountMatches(temp_dir_.path() + L"*.exe"), 1u);

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
  Child second(Quote(temp_dir_.path() + L"uninstall.exe"), Env());
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
  EXPECT_TRUE(Exists(temp_dir_.path() + L"uninstall.exe"));
}

TEST_F(Uninstaller, ChineseConfirmation) {
  if (!IsChineseUi()) {
    GTEST_SKIP() << "runs under a Chinese UI language (under Wine: LANG=zh_CN.UTF-8, the ctest "
                    "entry uninstaller_test_zh)";
  }
  Child child(Quote(CopyIntoTemp()), Env(L"files=50"));
  const HWND dialog = WaitForConfirmation(child.pid());
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(WindowText(dialog), L"Varnelo \u5378\u8f7d\u7a0b\u5e8f");
  EXPECT_EQ(DialogMessage(dialog), L"\u786e\u5b9a\u8981\u5b8c\u5168\u5378\u8f7d Varnelo \u5417\uff1f");
  ::Sleep(700);  // let the box finish drawing
  SaveScreenshot(FindMainWindow(), L"confirm-zh");
  Answer(dialog, IDOK);
  ::Sleep(9500);
  SaveScreenshot(FindMainWindow(), L"progress-zh");
  EXPECT_GT(BarPixels(FindMainWindow()), 200);  // in phase 2 by now
}

// A worker done at once: phase 1 for its full 8 s, then phase 2.
int FastWorkerWidth(ULONGLONG t) {
  return t < 8000 ? PhaseWidth(1, static_cast<uint32_t>(t)) : PhaseWidth(2, static_cast<uint32_t>(t - 8000));
}

TEST_F(Uninstaller, FastWorkerStillShowsEveryPhaseThenDeletesItsCopy) {
  Child child;
  ASSERT_TRUE(StartConfirmed(&child, L"files=50,shortcuts=100,registry=150,done=200"));
  ::Sleep(2000);
  ExpectBarNear(FastWorkerWidth);
  SaveScreenshot(window_, L"progress-en");
  ::Sleep(6800);
  ExpectBarNear(FastWorkerWidth);
  ASSERT_TRUE(WaitUntil(10000, [] { return FindMainWindow() == nullptr; }));
  const ULONGLONG closedAfter = SinceConfirmed();
  EXPECT_GE(closedAfter, 12900u);
  EXPECT_LE(closedAfter, 16500u);  // includes starting the deletion command
  EXPECT_EQ(child.Wait(15000), 0u);
  EXPECT_TRUE(WaitUntil(10000, [&] { return !Exists(temp_dir_.path() + L"uninstall.exe"); }))
      << "the copy was not deleted after the window closed";
}

// Without a schedule no step is reported: the bar holds at its phase-1 ceiling (50 %), the window
// stays, and its close button ends the run.
TEST_F(Uninstaller, NothingReportedHoldsAtHalfAndCloseButtonEnds) {
  Child child;
  ASSERT_TRUE(StartConfirmed(&child, L""));
  const ULONGLONG now = SinceConfirmed();
  if (now < 12300) ::Sleep(static_cast<DWORD>(12300 - now));
  EXPECT_EQ(BarPixels(window_), 200);
  ::Sleep(1000);
  EXPECT_EQ(BarPixels(window_), 200) << "the bar moved past its ceiling";
  EXPECT_EQ(FindMainWindow(), window_) << "the window closed although no step finished";

  ClickCloseButton(window_);
  EXPECT_TRUE(WaitUntil(5000, [] { return FindMainWindow() == nullptr; }));
  EXPECT_EQ(child.Wait(15000), 0u);
  EXPECT_TRUE(WaitUntil(10000, [&] { return !Exists(temp_dir_.path() + L"uninstall.exe"); }));
}

TEST_F(Uninstaller, AltF4HidesButTheRunFinishes) {
  Child child;
  ASSERT_TRUE(StartConfirmed(&child, L"files=50,shortcuts=100,registry=150,done=200"));
  ::Sleep(500);
  ::PostMessageW(window_, WM_SYSCOMMAND, SC_CLOSE, 0);
  EXPECT_TRUE(WaitUntil(3000, [&] { return !::IsWindowVisible(window_); }));
  EXPECT_EQ(child.Wait(2000), static_cast<DWORD>(STILL_ACTIVE)) << "Alt+F4 ended the process";
  EXPECT_EQ(child.Wait(20000), 0u);
  EXPECT_GE(SinceConfirmed(), 12900u);
}

TEST_F(Uninstaller, DllPlantedInTempIsNotLoaded) {
  const std::wstring marker = temp_dir_.path() + L"canary-loaded";
  ::SetEnvironmentVariableW(L"VARNELO_CANARY_MARKER", marker.c_str());
  for (const wchar_t* name : {L"gdiplus.dll", L"wininet.dll", L"canary-probe.dll"}) {
    ASSERT_TRUE(::CopyFileW((BinDir() + L"canary.dll").c_str(), (temp_dir_.path() + name).c_str(), FALSE));
  }
  {
    // The canary does report a load (under a name no system DLL has).
    HMODULE probe = ::LoadLibraryExW((temp_dir_.path() + L"canary-probe.dll").c_str(), nullptr, 0);
    ASSERT_NE(probe, nullptr);
    ::FreeLibrary(probe);
    ASSERT_TRUE(Exists(marker));
    ::DeleteFileW(marker.c_str());
  }
  ::SetEnvironmentVariableW(L"VARNELO_CANARY_MARKER", nullptr);

  Environment env = Env();
  env[L"VARNELO_CANARY_MARKER"] = marker;
  env[L"WINEDLLOVERRIDES"] = L"gdiplus,wininet=n,b;mscoree,mshtml=";  // Wine: prefer a DLL found on disk
  Child child(Quote(CopyIntoTemp()), env);
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
