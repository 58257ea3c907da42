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
  if (!flags.filesRemoved) return 1;
  if (!flags.shortcutsRemoved) return 2;
  if (!flags.registryCleaned) return 3;
  return 4;
}

int NextPhase(int displayed, int target, std::uint32_t now, std::uint32_t phaseStart) {
  if (displayed >= 1 && target > displayed) {
    const bool durationPassed = now - phaseStart >= kPhaseTable[displayed - 1].durationMs;
    return durationPassed ? displayed + 1 : displayed;
  }
  return target;
}

int PhaseWidth(int phase, std::uint32_t elapsed) {
  const PhaseRow& row = kPhaseTable[phase - 1];
  if (elapsed < row.durationMs) {
    return row.startWidth +
           static_cast<int>(static_cast<std::uint32_t>(row.endWidth - row.startWidth) * elapsed /
                            row.durationMs);
  }
  const std::uint32_t creep = (elapsed - row.durationMs) / kCreepIntervalMs;
  const std::uint32_t room = static_cast<std::uint32_t>(row.ceiling - row.endWidth);
  return row.endWidth + static_cast<int>(creep < room ? creep : room);
}

std::wstring PercentText(int width) { return std::to_wstring(width * 100 / kFullBarWidth) + L"%"; }

ProgressTick AdvanceProgress(int* phase, std::uint32_t* phaseStart, int currentWidth,
                             const WorkerFlags& flags, std::uint32_t now) {
  const int next = NextPhase(*phase, TargetPhase(flags), now, *phaseStart);
  if (next != *phase) {
    *phase = next;
    *phaseStart = now;
  }
  const int computed = PhaseWidth(*phase, now - *phaseStart);
  const int width = computed > currentWidth ? computed : currentWidth;
  return ProgressTick{width, flags.workerDone && width >= kFullBarWidth};
}

}  // namespace varnelo
