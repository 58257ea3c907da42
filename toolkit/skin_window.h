// Native-window base of the skinned toolkit: class registration, creation, centring, modal run,
// show/hide, close with a result, icons from resources.
#pragma once

#include <windows.h>

#include "toolkit/gdi_resources.h"

namespace Skin {

class CSkinWindow {
 public:
  CSkinWindow() = default;
  virtual ~CSkinWindow();
  CSkinWindow(const CSkinWindow&) = delete;
  CSkinWindow& operator=(const CSkinWindow&) = delete;

  HWND GetHWND() const { return hwnd_; }

  HWND Create(HWND parent, const wchar_t* title, DWORD style, DWORD ex_style, int x, int y, int cx,
              int cy, HMENU menu = nullptr);
  // Centres on the work area of the monitor the window is on.
  void CenterWindow();
  // Shows the window and pumps messages until it is destroyed (or WM_QUIT); returns the result
  // given to Close.
  UINT ShowModal();
  void ShowWindow(bool show = true, bool take_focus = true);
  // Stores the result and posts WM_CLOSE.
  void Close(UINT result = IDOK);
  // Large and small icons from an icon group of the resource module. The window object keeps them
  // until the window is destroyed (the window only borrows them).
  void SetIcon(UINT resource_id);

 protected:
  virtual const wchar_t* GetWindowClassName() const = 0;
  virtual UINT GetClassStyle() const { return 0; }
  virtual LRESULT HandleMessage(UINT message, WPARAM w_param, LPARAM l_param);
  virtual void OnFinalMessage(HWND hwnd) { (void)hwnd; }

 private:
  bool RegisterWindowClass();
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM w_param, LPARAM l_param);

  HWND hwnd_ = nullptr;
  UINT close_result_ = 0;
  UniqueIcon large_icon_;
  UniqueIcon small_icon_;
};

}  // namespace Skin
