#include "toolkit/skin_window.h"

#include <utility>

#include "toolkit/skin_resources.h"

namespace Skin {

namespace {

// Where window classes and icons come from: the registered resource module, else the program.
HINSTANCE ResourceModule() {
  return GetResourceInstance() ? GetResourceInstance() : ::GetModuleHandleW(nullptr);
}

UniqueIcon LoadIconOfSize(UINT resource_id, int size_metric_x, int size_metric_y) {
  return UniqueIcon(static_cast<HICON>(::LoadImageW(ResourceModule(), MAKEINTRESOURCEW(resource_id),
                                                    IMAGE_ICON, ::GetSystemMetrics(size_metric_x),
                                                    ::GetSystemMetrics(size_metric_y), 0)));
}

}  // namespace

CSkinWindow::~CSkinWindow() {
  if (hwnd_ && ::IsWindow(hwnd_)) {
    ::SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);  // no more messages to a destroyed object
    ::DestroyWindow(hwnd_);
  }
}

bool CSkinWindow::RegisterWindowClass() {
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof(wc);
  wc.style = GetClassStyle();
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = ResourceModule();
  wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  wc.lpszClassName = GetWindowClassName();
  return ::RegisterClassExW(&wc) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

HWND CSkinWindow::Create(HWND parent, const wchar_t* title, DWORD style, DWORD ex_style, int x,
                         int y, int cx, int cy, HMENU menu) {
  if (!RegisterWindowClass()) return nullptr;
  hwnd_ = ::CreateWindowExW(ex_style, GetWindowClassName(), title, style, x, y, cx, cy, parent,
                            menu, ResourceModule(), this);
  return hwnd_;
}

void CSkinWindow::CenterWindow() {
  RECT window;
  ::GetWindowRect(hwnd_, &window);
  MONITORINFO monitor = {};
  monitor.cbSize = sizeof(monitor);
  ::GetMonitorInfoW(::MonitorFromWindow(hwnd_, MONITOR_DEFAULTTONEAREST), &monitor);
  const RECT& work = monitor.rcWork;
  const int width = window.right - window.left, height = window.bottom - window.top;
  int x = work.left + (work.right - work.left - width) / 2;
  int y = work.top + (work.bottom - work.top - height) / 2;
  if (x < work.left) x = work.left;
  if (y < work.top) y = work.top;
  ::SetWindowPos(hwnd_, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

UINT CSkinWindow::ShowModal() {
  ShowWindow(true, true);
  const HWND self = hwnd_;
  MSG msg;
  while (::IsWindow(self)) {
    const BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0) {
      ::PostQuitMessage(static_cast<int>(msg.wParam));  // leave WM_QUIT for the outer loop
      break;
    }
    if (got < 0) break;
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
  return close_result_;
}

void CSkinWindow::ShowWindow(bool show, bool take_focus) {
  ::ShowWindow(hwnd_, show ? (take_focus ? SW_SHOWNORMAL : SW_SHOWNOACTIVATE) : SW_HIDE);
}

void CSkinWindow::Close(UINT result) {
  close_result_ = result;
  ::PostMessageW(hwnd_, WM_CLOSE, 0, 0);
}

void CSkinWindow::SetIcon(UINT resource_id) {
  UniqueIcon large_icon = LoadIconOfSize(resource_id, SM_CXICON, SM_CYICON);
  UniqueIcon small_icon = LoadIconOfSize(resource_id, SM_CXSMICON, SM_CYSMICON);
  // The window lets go of an earlier icon as it takes the new one; only then is the earlier freed.
  if (large_icon) {
    ::SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(large_icon.get()));
    large_icon_ = std::move(large_icon);
  }
  if (small_icon) {
    ::SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small_icon.get()));
    small_icon_ = std::move(small_icon);
  }
}

LRESULT CSkinWindow::HandleMessage(UINT message, WPARAM w_param, LPARAM l_param) {
  return ::DefWindowProcW(hwnd_, message, w_param, l_param);
}

LRESULT CALLBACK CSkinWindow::WindowProc(HWND hwnd, UINT message, WPARAM w_param, LPARAM l_param) {
  CSkinWindow* self = nullptr;
  if (message == WM_NCCREATE) {
    self = static_cast<CSkinWindow*>(reinterpret_cast<CREATESTRUCTW*>(l_param)->lpCreateParams);
    self->hwnd_ = hwnd;
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  } else {
    self = reinterpret_cast<CSkinWindow*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  }
  if (!self) return ::DefWindowProcW(hwnd, message, w_param, l_param);
  if (message == WM_NCDESTROY) {
    const LRESULT result = self->HandleMessage(message, w_param, l_param);
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    self->hwnd_ = nullptr;
    // The window is gone, and with it the last use of its icons.
    self->large_icon_.reset();
    self->small_icon_.reset();
    self->OnFinalMessage(hwnd);
    return result;
  }
  return self->HandleMessage(message, w_param, l_param);
}

}  // namespace Skin
