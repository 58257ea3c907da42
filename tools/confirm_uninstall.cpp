// For the demonstration: waits for uninstall.exe's window, answers its confirmation with OK as a
// person would, and waits for that copy of the program to end. Exit code 0 when it ended by
// itself within the time given (default 60 s), 1 otherwise.
//   confirm_uninstall.exe [seconds]
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "common/unique_resource.h"

namespace {

constexpr wchar_t kWindowClass[] = L"CMainWnd";
constexpr wchar_t kWindowTitle[] = L"Varnelo Uninstall Window";
constexpr wchar_t kDialogClass[] = L"#32770";

struct Search {
  DWORD pid;
  HWND dialog;
};

BOOL CALLBACK FindDialog(HWND hwnd, LPARAM param) {
  Search* search = reinterpret_cast<Search*>(param);
  wchar_t className[16] = {};
  ::GetClassNameW(hwnd, className, 16);
  DWORD pid = 0;
  ::GetWindowThreadProcessId(hwnd, &pid);
  if (pid != search->pid || std::wcscmp(className, kDialogClass) != 0 || !::IsWindowVisible(hwnd)) return TRUE;
  search->dialog = hwnd;
  return FALSE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const ULONGLONG deadline = ::GetTickCount64() + (argc > 1 ? std::wcstoul(argv[1], nullptr, 10) : 60) * 1000ull;
  Search search = {0, nullptr};
  while (search.dialog == nullptr && ::GetTickCount64() < deadline) {
    ::Sleep(100);
    const HWND window = ::FindWindowW(kWindowClass, kWindowTitle);
    if (window == nullptr) continue;
    ::GetWindowThreadProcessId(window, &search.pid);
    ::EnumWindows(FindDialog, reinterpret_cast<LPARAM>(&search));
  }
  if (search.dialog == nullptr) {
    std::printf("no confirmation of uninstall.exe appeared\n");
    return 1;
  }
  const varnelo::UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, search.pid));
  std::printf("confirming the removal (uninstall.exe pid %lu)\n", search.pid);
  std::fflush(stdout);
  ::PostMessageW(search.dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(::GetDlgItem(search.dialog, IDOK)));
  const ULONGLONG now = ::GetTickCount64();
  const DWORD wait = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
  if (!process || ::WaitForSingleObject(process.get(), wait) != WAIT_OBJECT_0) {
    std::printf("uninstall.exe did not finish in time\n");
    return 1;
  }
  std::printf("uninstall.exe finished and closed its window\n");
  return 0;
}
