// CMainWnd: the uninstaller's only window. Confirms, starts the worker, animates the progress
// phases (progress.h) from the worker's flags, then schedules its own file's deletion and closes.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "toolkit/paint_manager.h"
#include "toolkit/skin_window.h"
#include "uninstaller/removal_worker.h"
#include "uninstaller/temp_copy.h"
#include "uninstaller/wnd_thread.h"

namespace varnelo {

extern const wchar_t kMainWindowClass[];
extern const wchar_t kMainWindowTitle[];
constexpr UINT_PTR UNINS_PROGRESS_TIMER = 0x1002;
constexpr UINT kProgressTimerMs = 10;
constexpr UINT WM_UNINS_FINISH = WM_USER + 1004;
constexpr UINT kWindowIconId = 101;

class CMainWnd : public Skin::CSkinWindow, public Skin::ISkinNotify {
 public:
  // `self` is the copy the program runs as, deleted after Cancel; it outlives the window.
  explicit CMainWnd(const TemporaryCopy& self);
  ~CMainWnd() override;

  void Notify(Skin::TNotifyUI& msg) override;

  // Whether the window was closed to end the uninstaller: its copy is then deleted once the worker
  // has been waited for (or ended), so the copy is no longer running when the deletion comes.
  bool DeletesSelfAtExit() const { return m_bDeleteSelfAtExit; }

 protected:
  const wchar_t* GetWindowClassName() const override { return kMainWindowClass; }
  UINT GetClassStyle() const override { return CS_DBLCLKS; }
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
  virtual void OnSize(WPARAM wParam, LPARAM lParam);

 private:
  LRESULT OnCreate();
  LRESULT OnNcHitTest(LPARAM lParam);
  bool OnSysCommand(WPARAM command, LRESULT* result);
  void OnWindowInit();
  void OnProgressTimer();
  void CloseAndDeleteSelf();

  const TemporaryCopy& m_self;
  RemovalReport m_report;  // filled by the worker, which is stopped before it goes
  Skin::CPaintManager m_pm;
  CWndThread m_workerThread;
  Skin::CSkinControl* m_pProgressLab = nullptr;
  Skin::CSkinControl* m_pPercentLab = nullptr;
  std::uint32_t m_dwPhaseStart = 0;
  int m_nPhase = -1;
  bool m_bDeleteSelfAtExit = false;
};

}  // namespace varnelo
