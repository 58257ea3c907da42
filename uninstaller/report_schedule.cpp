#include "report_schedule.h"

#include <windows.h>

#include <cstdlib>
#include <string>

#include "main_wnd.h"

namespace varnelo {

namespace {

// Milliseconds for `step` in the schedule, or -1 when it is not listed.
long StepDelay(const std::string& schedule, const std::string& step) {
  size_t pos = 0;
  while (pos < schedule.size()) {
    const size_t end = schedule.find(',', pos);
    const std::string item = schedule.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    const size_t eq = item.find('=');
    if (eq != std::string::npos && item.substr(0, eq) == step) return std::strtol(item.c_str() + eq + 1, nullptr, 10);
    if (end == std::string::npos) break;
    pos = end + 1;
  }
  return -1;
}

}  // namespace

void RunReportSchedule(void*) {
  char buffer[256] = {};
  const DWORD length = ::GetEnvironmentVariableA("VARNELO_UNINSTALL_SCHEDULE", buffer, sizeof(buffer));
  const std::string schedule = length > 0 && length < sizeof(buffer) ? std::string(buffer, length) : std::string();
  const ULONGLONG start = ::GetTickCount64();
  struct Step {
    const char* name;
    std::atomic<bool> CMainWnd::*flag;
  };
  const Step steps[] = {{"files", &CMainWnd::m_bFilesRemoved},
                        {"shortcuts", &CMainWnd::m_bShortcutsRemoved},
                        {"registry", &CMainWnd::m_bRegistryCleaned},
                        {"done", &CMainWnd::m_bWorkerDone}};
  for (const Step& step : steps) {
    const long delay = StepDelay(schedule, step.name);
    if (delay < 0) continue;
    const ULONGLONG due = start + static_cast<ULONGLONG>(delay);
    const ULONGLONG now = ::GetTickCount64();
    if (due > now) ::Sleep(static_cast<DWORD>(due - now));
    if (CMainWnd* window = g_pMainWnd.load()) (window->*step.flag) = true;
  }
}

}  // namespace varnelo
