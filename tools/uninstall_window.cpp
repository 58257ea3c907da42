#include "tools/uninstall_window.h"

namespace varnelo {

HWND FindUninstallWindow() { return ::FindWindowW(L"CMainWnd", L"Varnelo Uninstall Window"); }

HWND FindConfirmation(DWORD pid) {
  for (HWND box = nullptr; (box = ::FindWindowExW(nullptr, box, L"#32770", nullptr)) != nullptr;) {
    DWORD owner = 0;
    ::GetWindowThreadProcessId(box, &owner);
    if (owner == pid && ::IsWindowVisible(box)) return box;
  }
  return nullptr;
}

void PressDialogButton(HWND dialog, int button) {
  ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                 reinterpret_cast<LPARAM>(::GetDlgItem(dialog, button)));
  ::PostMessageW(dialog, WM_NULL, 0, 0);  // wakes a modal loop that waits for its next message
}

}  // namespace varnelo
