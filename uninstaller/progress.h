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
  int start_width;
  int end_width;
  int ceiling;
  std::uint32_t duration_ms;
  const wchar_t* chinese_text;
  const wchar_t* english_text;
};

// Phase n (1..kPhaseCount) is kPhaseTable[n - 1].
extern const PhaseRow kPhaseTable[kPhaseCount];

struct WorkerFlags {
  bool files_removed;
  bool shortcuts_removed;
  bool registry_cleaned;
  bool worker_done;
};

// The phase the flags allow: the first step not yet reported done.
int TargetPhase(const WorkerFlags& flags);

// At most one phase per tick, and never before the displayed phase's duration has passed.
// `displayed` is -1 before the first tick, which jumps straight to the target.
int NextPhase(int displayed, int target, std::uint32_t now, std::uint32_t phase_start);

// Width of phase `phase` after `elapsed` ms: a linear rise, then a slow creep to the ceiling.
int PhaseWidth(int phase, std::uint32_t elapsed);

// The width as a share of kFullBarWidth in whole percent, rounded down, followed by "%".
std::wstring PercentText(int width);

// One timer tick: updates the displayed phase and its start, returns the bar width to show
// (never below `current_width`). `finished` tells when the window may close.
struct ProgressTick {
  int width;
  bool finished;
};
ProgressTick AdvanceProgress(int* phase, std::uint32_t* phase_start, int current_width,
                             const WorkerFlags& flags, std::uint32_t now);

}  // namespace varnelo
