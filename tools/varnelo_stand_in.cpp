// Stand-in for the client application Varnelo.exe, as -install sees it: a top-level window of
// class "CMainWnd" whose process ends when the window gets WM_CLOSE.
//   Varnelo.exe                  ends on WM_CLOSE
//   Varnelo.exe --ignore-close   ignores WM_CLOSE (a client that does not shut down)
//   Varnelo.exe --topmost        a topmost window, so a window search meets it before others
//   Varnelo.exe --slow-setting-change N MS
//                                instead N windows that each take MS ms over every
//                                WM_SETTINGCHANGE and print "setting change K" after it
// Either way it ends by itself after two minutes, so a failed test leaves nothing behind.
#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {

constexpr UINT_PTR kLifetimeTimer = 1;
constexpr UINT kLifetimeMs = 120000;
bool g_ignoreClose = false;
DWORD g_settingChangeMs = 0;
int g_settingChanges = 0;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CLOSE:
      std::printf("WM_CLOSE %s\n", g_ignoreClose ? "ignored" : "received");
      std::fflush(stdout);
      if (g_ignoreClose) return 0;
      ::DestroyWindow(window);
      return 0;
    case WM_SETTINGCHANGE:
      if (g_settingChangeMs == 0) break;
      ::Sleep(g_settingChangeMs);
      std::printf("setting change %d\n", ++g_settingChanges);
      std::fflush(stdout);
      return 0;
    case WM_TIMER:
      if (wParam == kLifetimeTimer) ::DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      ::PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return ::DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  DWORD exStyle = 0;
  int windows = 1;
  const wchar_t* className = L"CMainWnd";
  for (int i = 1; i < argc; ++i) {
    if (_wcsicmp(argv[i], L"--ignore-close") == 0) g_ignoreClose = true;
    if (_wcsicmp(argv[i], L"--topmost") == 0) exStyle |= WS_EX_TOPMOST;
    if (_wcsicmp(argv[i], L"--slow-setting-change") == 0 && i + 2 < argc) {
      windows = _wtoi(argv[++i]);
      g_settingChangeMs = static_cast<DWORD>(_wtoi(argv[++i]));
      className = L"SlowSettingChangeListener";
    }
  }
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = ::GetModuleHandleW(nullptr);
  windowClass.lpszClassName = className;
  if (!::RegisterClassW(&windowClass)) return 1;
  for (int i = 0; i < windows; ++i) {
    const HWND window = ::CreateWindowExW(exStyle, className, L"Varnelo", WS_OVERLAPPEDWINDOW,
                                          CW_USEDEFAULT, CW_USEDEFAULT, 320, 200, nullptr, nullptr,
                                          windowClass.hInstance, nullptr);
    if (window == nullptr) return 1;
    if (i == 0) ::SetTimer(window, kLifetimeTimer, kLifetimeMs, nullptr);
  }
  std::printf("window ready pid=%lu\n", ::GetCurrentProcessId());
  std::fflush(stdout);
  MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
  return 0;
}
