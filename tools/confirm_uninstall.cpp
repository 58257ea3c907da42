// For the demonstration: waits for uninstall.exe's window, answers its confirmation with OK as a
// person would, and waits for that copy of the program to end. Exit code 0 when it ended by
// itself within the time given (default 60 s), 1 otherwise.
//   confirm_uninstall.exe [seconds]
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "common/unique_resource.h"
#include "tools/uninstall_window.h"

int wmain(int argc, wchar_t** argv) {
  const ULONGLONG deadline =
      ::GetTickCount64() + (argc > 1 ? std::wcstoul(argv[1], nullptr, 10) : 60) * 1000ull;
  DWORD pid = 0;
  HWND dialog = nullptr;
  while (dialog == nullptr && ::GetTickCount64() < deadline) {
    ::Sleep(100);
    const HWND window = varnelo::FindUninstallWindow();
    if (window == nullptr) continue;
    ::GetWindowThreadProcessId(window, &pid);
    dialog = varnelo::FindConfirmation(pid);
  }
  if (dialog == nullptr) {
    std::printf("no confirmation of uninstall.exe appeared\n");
    return 1;
  }
  const varnelo::UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, pid));
  std::printf("confirming the removal (uninstall.exe pid %lu)\n", pid);
  std::fflush(stdout);
  varnelo::PressDialogButton(dialog, IDOK);
  const ULONGLONG now = ::GetTickCount64();
  const DWORD wait = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
  if (!process || ::WaitForSingleObject(process.get(), wait) != WAIT_OBJECT_0) {
    std::printf("uninstall.exe did not finish in time\n");
    return 1;
  }
  std::printf("uninstall.exe finished and closed its window\n");
  return 0;
}
