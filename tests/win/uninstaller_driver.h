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
HWND WaitForConfirmation(DWORD pid, DWORD timeoutMs = 20000);
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

// A fresh %TEMP% for the program, and uninstall.exe in a folder of its own in the system's
// temporary folder, where it runs in place as its relaunched copy would; no copy of the program is
// left running before or after.
class UninstallerRun {
 public:
  UninstallerRun();
  ~UninstallerRun();
  UninstallerRun(const UninstallerRun&) = delete;
  UninstallerRun& operator=(const UninstallerRun&) = delete;

  const std::wstring& temp() const { return temp_.path(); }  // with a trailing backslash
  const std::wstring& copyDir() const { return copyDir_; }   // with a trailing backslash
  std::wstring CopyPath() const { return copyDir_ + L"uninstall.exe"; }
  Environment Env() const;
  // Starts the copy in `currentDirectory` (default: inherited), with `extra` in its environment,
  // and returns its confirmation box.
  HWND Start(const std::wstring& currentDirectory = L"", const Environment& extra = {});
  // Starts, confirms and returns the time of the confirmation.
  ULONGLONG StartConfirmed(const std::wstring& currentDirectory = L"");
  Child& child() { return child_; }

 private:
  TempDir temp_;
  std::wstring copyDir_;
  Child child_;
};

}  // namespace test
}  // namespace varnelo
