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
bool g_ignore_close = false;
DWORD g_setting_change_ms = 0;
int g_setting_changes = 0;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM w_param, LPARAM l_param) {
  switch (message) {
    case WM_CLOSE:
      std::printf("WM_CLOSE %s\n", g_ignore_close ? "ignored" : "received");
      std::fflush(stdout);
      if (g_ignore_close) return 0;
      ::DestroyWindow(window);
      return 0;
    case WM_SETTINGCHANGE:
      if (g_setting_change_ms == 0) break;
      ::Sleep(g_setting_change_ms);
      std::printf("setting change %d\n", ++g_setting_changes);
      std::fflush(stdout);
      return 0;
    case WM_TIMER:
      if (w_param == kLifetimeTimer) ::DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      ::PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return ::DefWindowProcW(window, message, w_param, l_param);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  DWORD ex_style = 0;
  int windows = 1;
  const wchar_t* class_name = L"CMainWnd";
  for (int i = 1; i < argc; ++i) {
    if (_wcsicmp(argv[i], L"--ignore-close") == 0) g_ignore_close = true;
    if (_wcsicmp(argv[i], L"--topmost") == 0) ex_style |= WS_EX_TOPMOST;
    if (_wcsicmp(argv[i], L"--slow-setting-change") == 0 && i + 2 < argc) {
      windows = _wtoi(argv[++i]);
      g_setting_change_ms = static_cast<DWORD>(_wtoi(argv[++i]));
      class_name = L"SlowSettingChangeListener";
    }
  }
  WNDCLASSW window_class = {};
  window_class.lpfnWndProc = WindowProc;
  window_class.hInstance = ::GetModuleHandleW(nullptr);
  window_class.lpszClassName = class_name;
  if (!::RegisterClassW(&window_class)) return 1;
  for (int i = 0; i < windows; ++i) {
    const HWND window = ::CreateWindowExW(ex_style, class_name, L"Varnelo", WS_OVERLAPPEDWINDOW,
                                          CW_USEDEFAULT, CW_USEDEFAULT, 320, 200, nullptr, nullptr,
                                          window_class.hInstance, nullptr);
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
