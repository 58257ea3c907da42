// Drives uninstall.exe as a person would: finds its window and confirmation, answers it, reads
// the progress bar off the screen, clicks the close button, saves screenshots.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "tests/win/harness.h"
#include "tools/uninstall_window.h"

namespace varnelo {
namespace test {

constexpr int kTrackWidth = 350;  // pixels of the bar the 350-pixel track shows

bool Exists(const std::wstring& path);
HWND WaitForConfirmation(DWORD pid, DWORD timeout_ms = 20000);
std::wstring WindowText(HWND hwnd);
// Presses a button of the message box and returns once the box is gone.
void Answer(HWND dialog, int button);
// Saves the window's pixels as a BMP when VARNELO_SCREENSHOT_DIR names a folder.
void SaveScreenshot(HWND window, const wchar_t* name);
// Width of the red part of the progress track, in pixels, as drawn on screen.
int BarPixels(HWND window);
void ClickCloseButton(HWND window);

// Registry helpers; `view` is KEY_WOW64_32KEY for what the 32-bit program sees by default.
UniqueRegKey CreateKey(HKEY root, const std::wstring& path, REGSAM view);
void SetString(HKEY key, const wchar_t* name, const std::wstring& value);
bool KeyExists(HKEY root, const std::wstring& path, REGSAM view);

// The folders named like the elevated copy's in the system's temporary folder, with a trailing
// backslash each.
std::vector<std::wstring> CopyFolders();
// The folders of `after` that are not in `before`.
std::vector<std::wstring> NewFolders(const std::vector<std::wstring>& before,
                                     const std::vector<std::wstring>& after);

// The uninstall.exe the tests run: the build named by VARNELO_UNINSTALLER (a full path; the test
// command names the shipped i686 build there for the second run), else the x86_64 test build
// beside the test program. Its test builds (uninstall_faults.exe, canary.dll) lie beside it.
std::wstring UninstallerUnderTest();
std::wstring BesideUninstallerUnderTest(const wchar_t* name);
// Whether the program file at `path` is 32-bit x86 code (its PE header's machine).
bool IsI686Program(const std::wstring& path);

// A process that is not this one's child, waited for by its handle.
class WatchedProcess {
 public:
  WatchedProcess() = default;
  explicit WatchedProcess(DWORD pid);
  bool found() const { return static_cast<bool>(process_); }
  DWORD pid() const { return pid_; }
  // Whether it runs as 32-bit code under WoW64.
  bool IsWow64() const;
  // Its exit code once it has ended, STILL_ACTIVE on time-out, -1 when nothing is watched.
  DWORD Wait(DWORD timeout_ms) const;

 private:
  UniqueHandle process_;
  DWORD pid_ = 0;
};

// The running uninstall.exe whose file is `image` (compared without case); none when there is none.
WatchedProcess FindUninstallerRunning(const std::wstring& image);

// A fresh %TEMP% for the program and the program installed in a folder of its own. Start runs it
// there as a user would and follows it to the copy it relaunches in a new folder of the system's
// temporary folder. No copy of the program is left running before or after.
class UninstallerRun {
 public:
  // `installed`: the program where a setup put it, else a copy of the build under test in a
  // folder of its own.
  explicit UninstallerRun(const std::wstring& installed = L"");
  ~UninstallerRun();
  UninstallerRun(const UninstallerRun&) = delete;
  UninstallerRun& operator=(const UninstallerRun&) = delete;

  const std::wstring& temp() const { return temp_.path(); }  // with a trailing backslash
  const std::wstring& InstalledPath() const { return installed_path_; }
  // The relaunched copy's folder, with a trailing backslash; empty until Start has found it.
  const std::wstring& copy_dir() const { return copy_dir_; }
  std::wstring CopyPath() const { return copy_dir_ + L"uninstall.exe"; }
  Environment Env() const;
  // Starts the installed program in `current_directory` (default: inherited) with `extra` in its
  // environment, waits for it to relaunch its copy and end, and returns the copy's confirmation
  // box (null when any step failed, with a test failure saying which).
  HWND Start(const std::wstring& current_directory = L"", const Environment& extra = {});
  // Confirms `dialog` and returns the time of the confirmation.
  static ULONGLONG Confirm(HWND dialog);
  // Starts, confirms and returns the time of the confirmation.
  ULONGLONG StartConfirmed(const std::wstring& current_directory = L"");
  // The relaunched copy.
  const WatchedProcess& copy() const { return copy_; }

 private:
  TempDir temp_;
  TempDir installed_;
  std::wstring installed_path_;
  std::wstring copy_dir_;
  WatchedProcess copy_;
};

}  // namespace test
}  // namespace varnelo
