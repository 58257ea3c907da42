#include "uninstaller/main_wnd.h"

#include <string>

#include "toolkit/gdi_resources.h"
#include "toolkit/layout_builder.h"
#include "uninstaller/progress.h"
#include "uninstaller/temp_copy.h"

namespace varnelo {

const wchar_t kMainWindowClass[] = L"CMainWnd";
const wchar_t kMainWindowTitle[] = L"Varnelo Uninstall Window";

namespace {

constexpr wchar_t kProductName[] = L"Varnelo";
constexpr char kLayoutFile[] = "main.xml";

std::wstring ConfirmationText(bool chinese) {
  return chinese
             ? std::wstring(L"\u786e\u5b9a\u8981\u5b8c\u5168\u5378\u8f7d ") + kProductName +
                   L" \u5417\uff1f"
             : std::wstring(L"Are you sure you want to completely remove ") + kProductName + L"?";
}

std::wstring ConfirmationCaption(bool chinese) {
  return chinese ? std::wstring(kProductName) + L" \u5378\u8f7d\u7a0b\u5e8f"
                 : std::wstring(kMainWindowTitle);
}

bool IsChineseUI() { return (::GetUserDefaultUILanguage() & 0x3FF) == LANG_CHINESE; }

}  // namespace

CMainWnd::CMainWnd(const TemporaryCopy& self) : self_(self) {}

CMainWnd::~CMainWnd() {
  worker_thread_.StopAllThreads();  // before the report it fills goes
}

LRESULT CMainWnd::HandleMessage(UINT message, WPARAM w_param, LPARAM l_param) {
  LRESULT result = 0;
  switch (message) {
    case WM_CREATE:
      return OnCreate();
    case WM_SIZE:
      OnSize(w_param, l_param);
      break;  // the paint manager lays out on it too
    case WM_NCCALCSIZE:
      return 0;  // the whole window is client area
    case WM_NCHITTEST:
      return OnNcHitTest(l_param);
    case WM_SYSCOMMAND:
      if (OnSysCommand(w_param, &result)) return result;
      break;
    case WM_TIMER:
      if (w_param == kUninsProgressTimer) {
        OnProgressTimer();
        return 0;
      }
      break;
    case kWmUninsFinish:
      CloseAndDeleteSelf();
      return 0;
    default:
      break;
  }
  if (paint_manager_.MessageHandler(message, w_param, l_param, result)) return result;
  return CSkinWindow::HandleMessage(message, w_param, l_param);
}

LRESULT CMainWnd::OnCreate() {
  LONG style = ::GetWindowLongW(GetHWND(), GWL_STYLE);
  style = (style & ~(WS_CAPTION | WS_THICKFRAME)) | WS_CLIPSIBLINGS | WS_CLIPCHILDREN;
  ::SetWindowLongW(GetHWND(), GWL_STYLE, style);
  paint_manager_.Init(GetHWND());
  Skin::CSkinBuilder builder;
  paint_manager_.AttachDialog(builder.Create(kLayoutFile, &paint_manager_));
  paint_manager_.AddNotifier(this);
  return 0;
}

void CMainWnd::OnSize(WPARAM w_param, LPARAM l_param) {
  const SIZE corner = paint_manager_.GetRoundCorner();
  if ((corner.cx != 0 || corner.cy != 0) && w_param != SIZE_MINIMIZED && l_param != 0) {
    RECT window;
    ::GetWindowRect(GetHWND(), &window);
    Skin::UniqueRegion region(::CreateRoundRectRgn(0, 0, window.right - window.left + 1,
                                                   window.bottom - window.top + 1, corner.cx,
                                                   corner.cy));
    // On success the window owns the region; on failure it is still ours to free.
    if (region && ::SetWindowRgn(GetHWND(), region.get(), TRUE))
      static_cast<void>(region.release());
  }
}

LRESULT CMainWnd::OnNcHitTest(LPARAM l_param) {
  POINT point = {static_cast<short>(LOWORD(l_param)), static_cast<short>(HIWORD(l_param))};
  ::ScreenToClient(GetHWND(), &point);
  RECT client;
  ::GetClientRect(GetHWND(), &client);
  const RECT& caption = paint_manager_.GetCaptionRect();
  if (point.x >= client.left + caption.left && point.x < client.right - caption.right &&
      point.y >= caption.top && point.y < caption.bottom) {
    Skin::CSkinControl* control = paint_manager_.FindControl(point);
    if (control && !control->TakesClicks()) return HTCAPTION;
  }
  return HTCLIENT;
}

bool CMainWnd::OnSysCommand(WPARAM command, LRESULT* result) {
  if (command == SC_CLOSE) {
    // Alt+F4 only hides: the removal goes on and the window still closes when it is done.
    ShowWindow(false);
    *result = 0;
    return true;
  }
  if (command == SC_KEYMENU) {
    *result = 0;
    return true;
  }
  return false;
}

void CMainWnd::Notify(Skin::TNotifyUI& msg) {
  if (msg.type == Skin::Notification::kWindowInit) {
    OnWindowInit();
  } else if (msg.type == Skin::Notification::kClick && msg.sender &&
             msg.sender->GetName() == L"close_btn") {
    CloseAndDeleteSelf();
  }
}

void CMainWnd::OnWindowInit() {
  SetIcon(kWindowIconId);
  ::SetWindowPos(GetHWND(), HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  const bool chinese = IsChineseUI();
  if (::MessageBoxW(GetHWND(), ConfirmationText(chinese).c_str(),
                    ConfirmationCaption(chinese).c_str(), MB_OKCANCEL | MB_TOPMOST) == IDCANCEL) {
    StartSelfDeletion(self_);  // nothing removed; the copy's folder is not left behind either
    ::ExitProcess(0);
  }
  ::SetWindowPos(GetHWND(), HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  if (chinese) {
    if (Skin::CSkinControl* title = paint_manager_.FindControl(L"title_lab"))
      title->SetText(L"Varnelo VPN \u5378\u8f7d\u7a0b\u5e8f");
    if (Skin::CSkinControl* status = paint_manager_.FindControl(L"status_lab"))
      status->SetText(L"\u6b63\u5728\u5378\u8f7d");
  }
  progress_lab_ = paint_manager_.FindControl(L"pro_unins_lab");
  percent_lab_ = paint_manager_.FindControl(L"unins_percent_lab");
  ::SetTimer(GetHWND(), kUninsProgressTimer, kProgressTimerMs, nullptr);
  worker_thread_.StartThread(RunRemoval, &report_);
}

void CMainWnd::OnProgressTimer() {
  const WorkerFlags flags = {report_.files_removed, report_.shortcuts_removed,
                             report_.registry_cleaned, report_.worker_done};
  const int current = progress_lab_ ? progress_lab_->GetFixedWidth() : 1;
  const ProgressTick tick =
      AdvanceProgress(&phase_, &phase_start_, current, flags, ::GetTickCount());
  if (progress_lab_ && tick.width > current) progress_lab_->SetFixedWidth(tick.width);
  if (percent_lab_) percent_lab_->SetText(PercentText(tick.width));
  if (Skin::CSkinControl* status = paint_manager_.FindControl(L"status_lab")) {
    const PhaseRow& row = kPhaseTable[phase_ - 1];
    const wchar_t* text = IsChineseUI() ? row.chinese_text : row.english_text;
    if (status->GetText() != text) status->SetText(text);
  }
  if (tick.finished) {
    ::PostMessageW(GetHWND(), kWmUninsFinish, 0, 0);
    ::KillTimer(GetHWND(), kUninsProgressTimer);
  }
}

void CMainWnd::CloseAndDeleteSelf() {
  delete_self_at_exit_ = true;
  ShowWindow(false);
  Close(0);
}

}  // namespace varnelo
