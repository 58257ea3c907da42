// The uninstaller's progress display arithmetic: timed phases (kPhaseTable) driven by the worker's
// flags. Free of Windows headers so it is unit-tested natively with an injected clock.
#pragma once

#include <cstdint>
#include <string>

namespace varnelo {

constexpr int kFullBarWidth = 400;
constexpr int kPhaseCount = 4;
constexpr std::uint32_t kCreepIntervalMs = 200;  // one more pixel this often, up to the ceiling

struct PhaseRow {
  int startWidth;
  int endWidth;
  int ceiling;
  std::uint32_t durationMs;
  const wchar_t* chineseText;
  const wchar_t* englishText;
};

// Phase n (1..kPhaseCount) is kPhaseTable[n - 1].
extern const PhaseRow kPhaseTable[kPhaseCount];

struct WorkerFlags {
  bool filesRemoved;
  bool shortcutsRemoved;
  bool registryCleaned;
  bool workerDone;
};

// The phase the flags allow: the first step not yet reported done.
int TargetPhase(const WorkerFlags& flags);

// At most one phase per tick, and never before the displayed phase's duration has passed.
// `displayed` is -1 before the first tick, which jumps straight to the target.
int NextPhase(int displayed, int target, std::uint32_t now, std::uint32_t phaseStart);

// Width of phase `phase` after `elapsed` ms: a linear rise, then a slow creep to the ceiling.
int PhaseWidth(int phase, std::uint32_t elapsed);

// The width as a share of kFullBarWidth in whole percent, rounded down, followed by "%".
std::wstring PercentText(int width);

// One timer tick: updates the displayed phase and its start, returns the bar width to show
// (never below `currentWidth`). `finished` tells when the window may close.
struct ProgressTick {
  int width;
  bool finished;
};
ProgressTick AdvanceProgress(int* phase, std::uint32_t* phaseStart, int currentWidth,
                             const WorkerFlags& flags, std::uint32_t now);

}  // namespace varnelo
