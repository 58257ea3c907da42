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

CMainWnd::CMainWnd(const TemporaryCopy& self) : m_self(self) {}

CMainWnd::~CMainWnd() {
  m_workerThread.StopAllThreads();  // before the report it fills goes
}

LRESULT CMainWnd::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  LRESULT result = 0;
  switch (message) {
    case WM_CREATE:
      return OnCreate();
    case WM_SIZE:
      OnSize(wParam, lParam);
      break;  // the paint manager lays out on it too
    case WM_NCCALCSIZE:
      return 0;  // the whole window is client area
    case WM_NCHITTEST:
      return OnNcHitTest(lParam);
    case WM_SYSCOMMAND:
      if (OnSysCommand(wParam, &result)) return result;
      break;
    case WM_TIMER:
      if (wParam == UNINS_PROGRESS_TIMER) {
        OnProgressTimer();
        return 0;
      }
      break;
    case WM_UNINS_FINISH:
      CloseAndDeleteSelf();
      return 0;
    default:
      break;
  }
  if (m_pm.MessageHandler(message, wParam, lParam, result)) return result;
  return CSkinWindow::HandleMessage(message, wParam, lParam);
}

LRESULT CMainWnd::OnCreate() {
  LONG style = ::GetWindowLongW(GetHWND(), GWL_STYLE);
  style = (style & ~(WS_CAPTION | WS_THICKFRAME)) | WS_CLIPSIBLINGS | WS_CLIPCHILDREN;
  ::SetWindowLongW(GetHWND(), GWL_STYLE, style);
  m_pm.Init(GetHWND());
  Skin::CSkinBuilder builder;
  m_pm.AttachDialog(builder.Create(kLayoutFile, &m_pm));
  m_pm.AddNotifier(this);
  return 0;
}

void CMainWnd::OnSize(WPARAM wParam, LPARAM lParam) {
  const SIZE corner = m_pm.GetRoundCorner();
  if ((corner.cx != 0 || corner.cy != 0) && wParam != SIZE_MINIMIZED && lParam != 0) {
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

LRESULT CMainWnd::OnNcHitTest(LPARAM lParam) {
  POINT point = {static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
  ::ScreenToClient(GetHWND(), &point);
  RECT client;
  ::GetClientRect(GetHWND(), &client);
  const RECT& caption = m_pm.GetCaptionRect();
  if (point.x >= client.left + caption.left && point.x < client.right - caption.right &&
      point.y >= caption.top && point.y < caption.bottom) {
    Skin::CSkinControl* control = m_pm.FindControl(point);
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
    StartSelfDeletion(m_self);  // nothing removed; the copy's folder is not left behind either
    ::ExitProcess(0);
  }
  ::SetWindowPos(GetHWND(), HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  if (chinese) {
    if (Skin::CSkinControl* title = m_pm.FindControl(L"title_lab"))
      title->SetText(L"Varnelo VPN \u5378\u8f7d\u7a0b\u5e8f");
    if (Skin::CSkinControl* status = m_pm.FindControl(L"status_lab"))
      status->SetText(L"\u6b63\u5728\u5378\u8f7d");
  }
  m_pProgressLab = m_pm.FindControl(L"pro_unins_lab");
  m_pPercentLab = m_pm.FindControl(L"unins_percent_lab");
  ::SetTimer(GetHWND(), UNINS_PROGRESS_TIMER, kProgressTimerMs, nullptr);
  m_workerThread.StartThread(RunRemoval, &m_report);
}

void CMainWnd::OnProgressTimer() {
  const WorkerFlags flags = {m_report.filesRemoved, m_report.shortcutsRemoved,
                             m_report.registryCleaned, m_report.workerDone};
  const int current = m_pProgressLab ? m_pProgressLab->GetFixedWidth() : 1;
  const ProgressTick tick =
      AdvanceProgress(&m_nPhase, &m_dwPhaseStart, current, flags, ::GetTickCount());
  if (m_pProgressLab && tick.width > current) m_pProgressLab->SetFixedWidth(tick.width);
  if (m_pPercentLab) m_pPercentLab->SetText(PercentText(tick.width));
  if (Skin::CSkinControl* status = m_pm.FindControl(L"status_lab")) {
    const PhaseRow& row = kPhaseTable[m_nPhase - 1];
    const wchar_t* text = IsChineseUI() ? row.chineseText : row.englishText;
    if (status->GetText() != text) status->SetText(text);
  }
  if (tick.finished) {
    ::PostMessageW(GetHWND(), WM_UNINS_FINISH, 0, 0);
    ::KillTimer(GetHWND(), UNINS_PROGRESS_TIMER);
  }
}

void CMainWnd::CloseAndDeleteSelf() {
  m_bDeleteSelfAtExit = true;
  ShowWindow(false);
  Close(0);
}

}  // namespace varnelo
