#include "uninstaller/progress.h"

namespace varnelo {

const PhaseRow kPhaseTable[kPhaseCount] = {
    {0, 180, 200, 8000, L"\u6b63\u5728\u505c\u6b62\u670d\u52a1\u548c\u5220\u9664\u6587\u4ef6...",
     L"Stopping service and removing files..."},
    {200, 275, 290, 1500, L"\u6b63\u5728\u5220\u9664\u5feb\u6377\u65b9\u5f0f...",
     L"Removing shortcuts..."},
    {290, 350, 360, 1500, L"\u6b63\u5728\u6e05\u7406\u6ce8\u518c\u8868...",
     L"Cleaning registry..."},
    {360, 395, 400, 1000, L"\u5378\u8f7d\u5b8c\u6210", L"Uninstall complete"},
};

int TargetPhase(const WorkerFlags& flags) {
  if (!flags.files_removed) return 1;
  if (!flags.shortcuts_removed) return 2;
  if (!flags.registry_cleaned) return 3;
  return 4;
}

int NextPhase(int displayed, int target, std::uint32_t now, std::uint32_t phase_start) {
  if (displayed >= 1 && target > displayed) {
    const bool duration_passed = now - phase_start >= kPhaseTable[displayed - 1].duration_ms;
    return duration_passed ? displayed + 1 : displayed;
  }
  return target;
}

int PhaseWidth(int phase, std::uint32_t elapsed) {
  const PhaseRow& row = kPhaseTable[phase - 1];
  if (elapsed < row.duration_ms) {
    return row.start_width +
           static_cast<int>(static_cast<std::uint32_t>(row.end_width - row.start_width) * elapsed /
                            row.duration_ms);
  }
  const std::uint32_t creep = (elapsed - row.duration_ms) / kCreepIntervalMs;
  const std::uint32_t room = static_cast<std::uint32_t>(row.ceiling - row.end_width);
  return row.end_width + static_cast<int>(creep < room ? creep : room);
}

std::wstring PercentText(int width) { return std::to_wstring(width * 100 / kFullBarWidth) + L"%"; }

ProgressTick AdvanceProgress(int* phase, std::uint32_t* phase_start, int current_width,
                             const WorkerFlags& flags, std::uint32_t now) {
  const int next = NextPhase(*phase, TargetPhase(flags), now, *phase_start);
  if (next != *phase) {
    *phase = next;
    *phase_start = now;
  }
  const int computed = PhaseWidth(*phase, now - *phase_start);
  const int width = computed > current_width ? computed : current_width;
  return ProgressTick{width, flags.worker_done && width >= kFullBarWidth};
}

}  // namespace varnelo
