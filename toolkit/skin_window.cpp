#include "toolkit/skin_window.h"

#include <utility>

#include "toolkit/skin_resources.h"

namespace Skin {

namespace {

// Where window classes and icons come from: the registered resource module, else the program.
HINSTANCE ResourceModule() {
  return GetResourceInstance() ? GetResourceInstance() : ::GetModuleHandleW(nullptr);
}

UniqueIcon LoadIconOfSize(UINT resourceId, int sizeMetricX, int sizeMetricY) {
  return UniqueIcon(static_cast<HICON>(::LoadImageW(ResourceModule(), MAKEINTRESOURCEW(resourceId),
                                                    IMAGE_ICON, ::GetSystemMetrics(sizeMetricX),
                                                    ::GetSystemMetrics(sizeMetricY), 0)));
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

HWND CSkinWindow::Create(HWND parent, const wchar_t* title, DWORD style, DWORD exStyle, int x,
                         int y, int cx, int cy, HMENU menu) {
  if (!RegisterWindowClass()) return nullptr;
  hwnd_ = ::CreateWindowExW(exStyle, GetWindowClassName(), title, style, x, y, cx, cy, parent, menu,
                            ResourceModule(), this);
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
  return closeResult_;
}

void CSkinWindow::ShowWindow(bool show, bool takeFocus) {
  ::ShowWindow(hwnd_, show ? (takeFocus ? SW_SHOWNORMAL : SW_SHOWNOACTIVATE) : SW_HIDE);
}

void CSkinWindow::Close(UINT result) {
  closeResult_ = result;
  ::PostMessageW(hwnd_, WM_CLOSE, 0, 0);
}

void CSkinWindow::SetIcon(UINT resourceId) {
  UniqueIcon largeIcon = LoadIconOfSize(resourceId, SM_CXICON, SM_CYICON);
  UniqueIcon smallIcon = LoadIconOfSize(resourceId, SM_CXSMICON, SM_CYSMICON);
  // The window lets go of an earlier icon as it takes the new one; only then is the earlier freed.
  if (largeIcon) {
    ::SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(largeIcon.get()));
    largeIcon_ = std::move(largeIcon);
  }
  if (smallIcon) {
    ::SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon.get()));
    smallIcon_ = std::move(smallIcon);
  }
}

LRESULT CSkinWindow::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  return ::DefWindowProcW(hwnd_, message, wParam, lParam);
}

LRESULT CALLBACK CSkinWindow::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  CSkinWindow* self = nullptr;
  if (message == WM_NCCREATE) {
    self = static_cast<CSkinWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    self->hwnd_ = hwnd;
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  } else {
    self = reinterpret_cast<CSkinWindow*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  }
  if (!self) return ::DefWindowProcW(hwnd, message, wParam, lParam);
  if (message == WM_NCDESTROY) {
    const LRESULT result = self->HandleMessage(message, wParam, lParam);
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    self->hwnd_ = nullptr;
    // The window is gone, and with it the last use of its icons.
    self->largeIcon_.reset();
    self->smallIcon_.reset();
    self->OnFinalMessage(hwnd);
    return result;
  }
  return self->HandleMessage(message, wParam, lParam);
}

}  // namespace Skin
