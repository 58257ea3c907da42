// uninstall.exe's windows as a person meets them: its main window and its confirmation box.
// Shared by the demonstration's confirm_uninstall.exe and the tests that drive the program.
#pragma once

#include <windows.h>

namespace varnelo {

// The main window of a running uninstall.exe, or null.
HWND FindUninstallWindow();
// The visible message box of process `pid`, or null.
HWND FindConfirmation(DWORD pid);
// Clicks a button of a message box; the box closes on its own thread.
void PressDialogButton(HWND dialog, int button);

}  // namespace varnelo
