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
constexpr UINT_PTR kUninsProgressTimer = 0x1002;
constexpr UINT kProgressTimerMs = 10;
constexpr UINT kWmUninsFinish = WM_USER + 1004;
constexpr UINT kWindowIconId = 101;

class CMainWnd : public Skin::CSkinWindow, public Skin::ISkinNotify {
 public:
  // `self` is the copy the program runs as, deleted after Cancel; it outlives the window.
  explicit CMainWnd(const TemporaryCopy& self);
  ~CMainWnd() override;

  void Notify(Skin::TNotifyUI& msg) override;

  // Whether the window was closed to end the uninstaller: its copy is then deleted once the worker
  // has been waited for (or ended), so the copy is no longer running when the deletion comes.
  bool DeletesSelfAtExit() const { return delete_self_at_exit_; }

 protected:
  const wchar_t* GetWindowClassName() const override { return kMainWindowClass; }
  UINT GetClassStyle() const override { return CS_DBLCLKS; }
  LRESULT HandleMessage(UINT message, WPARAM w_param, LPARAM l_param) override;
  virtual void OnSize(WPARAM w_param, LPARAM l_param);

 private:
  LRESULT OnCreate();
  LRESULT OnNcHitTest(LPARAM l_param);
  bool OnSysCommand(WPARAM command, LRESULT* result);
  void OnWindowInit();
  void OnProgressTimer();
  void CloseAndDeleteSelf();

  const TemporaryCopy& self_;
  RemovalReport report_;  // filled by the worker, which is stopped before it goes
  Skin::CPaintManager paint_manager_;
  CWndThread worker_thread_;
  Skin::CSkinControl* progress_lab_ = nullptr;
  Skin::CSkinControl* percent_lab_ = nullptr;
  std::uint32_t phase_start_ = 0;
  int phase_ = -1;
  bool delete_self_at_exit_ = false;
};

}  // namespace varnelo
