#include "tests/win/uninstaller_driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/platform.h"
#include "toolkit/gdi_resources.h"
#include "tools/uninstall_window.h"
#include "uninstaller/install_location.h"
#include "uninstaller/temp_copy.h"

namespace varnelo {
namespace test {

namespace {

constexpr COLORREF kBarColour = RGB(0xF0, 0x54, 0x3F);
// Where the bar is drawn, in window pixels: the 4-pixel shadow margin, title 32, rule 1,
// logo 30 + 124, track padding 30; the track starts 25 pixels in.
constexpr int kBarRow = 4 + 32 + 1 + 30 + 124 + 30 + 3;
constexpr int kTrackLeft = 4 + 25;
constexpr POINT kCloseButton = {4 + 400 - 23, 4 + 16};

// The window as it is on screen: a top-down 32-bit bitmap and its pixels.
struct Screenshot {
  BITMAPINFOHEADER header;
  std::vector<DWORD> pixels;
};

Screenshot Capture(HWND window) {
  RECT r;
  ::GetWindowRect(window, &r);
  const int width = r.right - r.left, height = r.bottom - r.top;
  Screenshot shot = {{sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0},
                     std::vector<DWORD>(static_cast<size_t>(width) * height)};
  const Skin::WindowDc screen(nullptr);
  const Skin::UniqueMemoryDc memory(::CreateCompatibleDC(screen.get()));
  const Skin::UniqueBitmap bitmap(::CreateCompatibleBitmap(screen.get(), width, height));
  {
    const Skin::SelectionScope selected(memory.get(), bitmap.get());
    ::BitBlt(memory.get(), 0, 0, width, height, screen.get(), r.left, r.top, SRCCOPY);
  }
  BITMAPINFO info = {shot.header, {}};
  ::GetDIBits(memory.get(), bitmap.get(), 0, height, shot.pixels.data(), &info, DIB_RGB_COLORS);
  return shot;
}

// FindFirstFileW's handle, which only FindClose releases.
struct FindHandleTraits : KernelHandleTraits {
  static void Close(pointer h) noexcept { ::FindClose(h); }
};

// Windows has timeout.exe; a Wine prefix needs ours for the delayed self-deletion, in both system
// folders: a 32-bit cmd.exe finds programs in the WoW64 one.
void EnsureTimeoutExe() {
  if (!IsRunningUnderWine()) return;
  for (auto system_folder : {&::GetSystemDirectoryW, &::GetSystemWow64DirectoryW}) {
    wchar_t folder[MAX_PATH];
    const UINT length = system_folder(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) continue;
    const std::wstring target = std::wstring(folder, length) + L"\\timeout.exe";
    if (::GetFileAttributesW(target.c_str()) == INVALID_FILE_ATTRIBUTES)
      ::CopyFileW((BinDir() + L"timeout.exe").c_str(), target.c_str(), TRUE);
  }
}

std::wstring ImageOf(HANDLE process) {
  wchar_t image[MAX_PATH] = {};
  DWORD length = MAX_PATH;
  return ::QueryFullProcessImageNameW(process, 0, image, &length) ? image : L"";
}

}  // namespace

bool Exists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

HWND WaitForConfirmation(DWORD pid, DWORD timeout_ms) {
  HWND found = nullptr;
  WaitUntil(timeout_ms, [&] { return (found = FindConfirmation(pid)) != nullptr; });
  return found;
}

std::wstring WindowText(HWND hwnd) {
  wchar_t text[512] = {};
  ::GetWindowTextW(hwnd, text, 512);
  return text;
}

void Answer(HWND dialog, int button) {
  PressDialogButton(dialog, button);
  WaitUntil(10000, [&] { return !::IsWindow(dialog); });
}

void SaveScreenshot(HWND window, const wchar_t* name) {
  bool present = false;
  const std::wstring dir = ReadEnvironmentVariable(L"VARNELO_SCREENSHOT_DIR", &present);
  if (dir.empty() || window == nullptr) return;
  const Screenshot shot = Capture(window);
  const DWORD offset = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
  const BITMAPFILEHEADER file = {0x4D42, offset + static_cast<DWORD>(shot.pixels.size() * 4), 0, 0,
                                 offset};
  std::string bytes(reinterpret_cast<const char*>(&file), sizeof(file));
  bytes.append(reinterpret_cast<const char*>(&shot.header), sizeof(shot.header));
  bytes.append(reinterpret_cast<const char*>(shot.pixels.data()), shot.pixels.size() * 4);
  // Both builds' runs may save at the same time; each keeps its own pictures.
  const wchar_t* build = IsI686Program(UninstallerUnderTest()) ? L"-i686" : L"";
  WriteFileBytes(dir + L"\\" + name + build + L".bmp", bytes);
}

int BarPixels(HWND window) {
  const Screenshot shot = Capture(window);
  const int width = shot.header.biWidth;
  if (-shot.header.biHeight <= kBarRow || width < kTrackLeft + kTrackWidth) return -1;
  int count = 0;
  for (int x = kTrackLeft; x < kTrackLeft + kTrackWidth; ++x) {
    const DWORD p = shot.pixels[static_cast<size_t>(kBarRow) * width + x] & 0xFFFFFF;
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

UniqueRegKey CreateKey(HKEY root, const std::wstring& path, REGSAM view) {
  UniqueRegKey key;
  ::RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, key.put(),
                    nullptr);
  return key;
}

void SetString(HKEY key, const wchar_t* name, const std::wstring& value) {
  ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

bool KeyExists(HKEY root, const std::wstring& path, REGSAM view) {
  UniqueRegKey key;
  return ::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, key.put()) == ERROR_SUCCESS;
}

std::vector<std::wstring> CopyFolders() {
  const std::wstring temp = SystemTempFolder() + L"\\";
  std::vector<std::wstring> folders;
  WIN32_FIND_DATAW found;
  const UniqueResource<FindHandleTraits> search(
      ::FindFirstFileW((temp + L"Varnelo-*").c_str(), &found));
  for (bool more = static_cast<bool>(search); more;
       more = ::FindNextFileW(search.get(), &found) != FALSE) {
    if (RunsFromCopyFolder(temp + found.cFileName + L"\\uninstall.exe", SystemTempFolder())) {
      folders.push_back(temp + found.cFileName + L"\\");
    }
  }
  return folders;
}

std::vector<std::wstring> NewFolders(const std::vector<std::wstring>& before,
                                     const std::vector<std::wstring>& after) {
  std::vector<std::wstring> added;
  for (const std::wstring& folder : after) {
    if (std::find(before.begin(), before.end(), folder) == before.end()) added.push_back(folder);
  }
  return added;
}

std::wstring UninstallerUnderTest() {
  bool present = false;
  const std::wstring named = ReadEnvironmentVariable(L"VARNELO_UNINSTALLER", &present);
  return named.empty() ? BinDir() + L"uninstall.exe" : named;
}

std::wstring BesideUninstallerUnderTest(const wchar_t* name) {
  return DirectoryWithSeparator(UninstallerUnderTest()) + name;
}

bool IsI686Program(const std::wstring& path) {
  const std::string bytes = ReadFileBytes(path);
  IMAGE_DOS_HEADER dos = {};
  if (bytes.size() < sizeof(dos)) return false;
  std::memcpy(&dos, bytes.data(), sizeof(dos));
  const size_t machine_at = static_cast<size_t>(dos.e_lfanew) + sizeof(DWORD);
  WORD machine = 0;
  if (dos.e_magic != IMAGE_DOS_SIGNATURE || bytes.size() < machine_at + sizeof(machine))
    return false;
  std::memcpy(&machine, bytes.data() + machine_at, sizeof(machine));
  return machine == IMAGE_FILE_MACHINE_I386;
}

bool WatchedProcess::IsWow64() const {
  BOOL wow64 = FALSE;
  return process_ && ::IsWow64Process(process_.get(), &wow64) && wow64;
}

WatchedProcess::WatchedProcess(DWORD pid)
    : process_(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid)),
      pid_(process_ ? pid : 0) {}

DWORD WatchedProcess::Wait(DWORD timeout_ms) const {
  if (!process_) return static_cast<DWORD>(-1);
  if (::WaitForSingleObject(process_.get(), timeout_ms) != WAIT_OBJECT_0) return STILL_ACTIVE;
  DWORD code = 0;
  ::GetExitCodeProcess(process_.get(), &code);
  return code;
}

WatchedProcess FindUninstallerRunning(const std::wstring& image) {
  for (DWORD pid : ProcessIdsNamed(L"uninstall.exe")) {
    WatchedProcess process(pid);
    const UniqueHandle query(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (process.found() && query &&
        ::CompareStringOrdinal(ImageOf(query.get()).c_str(), -1, image.c_str(), -1, TRUE) ==
            CSTR_EQUAL) {
      return process;
    }
  }
  return WatchedProcess();
}

UninstallerRun::UninstallerRun(const std::wstring& installed)
    : installed_path_(installed.empty() ? installed_.path() + L"uninstall.exe" : installed) {
  EnsureTimeoutExe();
  KillProcessesByName(L"uninstall.exe");
  if (installed.empty())
    ::CopyFileW(UninstallerUnderTest().c_str(), installed_path_.c_str(), FALSE);
}

UninstallerRun::~UninstallerRun() {
  KillProcessesByName(L"uninstall.exe");
  if (!copy_dir_.empty()) RemoveTree(copy_dir_);
}

Environment UninstallerRun::Env() const {
  const std::wstring temp = temp_.path().substr(0, temp_.path().size() - 1);
  return {{L"TEMP", temp}, {L"TMP", temp}};
}

HWND UninstallerRun::Start(const std::wstring& current_directory, const Environment& extra) {
  Environment env = Env();
  env.insert(extra.begin(), extra.end());
  const std::vector<std::wstring> before = CopyFolders();
  Child installed(QuoteArgument(InstalledPath()), env, current_directory);
  EXPECT_EQ(installed.Wait(20000), 0u) << "the installed program did not relaunch and end";
  const std::vector<std::wstring> made = NewFolders(before, CopyFolders());
  EXPECT_EQ(made.size(), 1u) << "not one new folder for the copy";
  if (made.size() != 1) return nullptr;
  copy_dir_ = made[0];
  WaitUntil(10000, [&] { return (copy_ = FindUninstallerRunning(CopyPath())).found(); });
  EXPECT_TRUE(copy_.found()) << "no copy runs from " << Narrow(copy_dir_);
  EXPECT_EQ(copy_.IsWow64(), IsI686Program(UninstallerUnderTest()))
      << "the copy does not run as the build under test";
  return copy_.found() ? WaitForConfirmation(copy_.pid()) : nullptr;
}

ULONGLONG UninstallerRun::Confirm(HWND dialog) {
  EXPECT_NE(dialog, nullptr) << "no confirmation";
  if (dialog) Answer(dialog, IDOK);
  return ::GetTickCount64();
}

ULONGLONG UninstallerRun::StartConfirmed(const std::wstring& current_directory) {
  return Confirm(Start(current_directory));
}

}  // namespace test
}  // namespace varnelo
