#include "uninstaller/progress.h"

#include <gtest/gtest.h>

namespace varnelo {
namespace {

// The simulations below pin the phases' timings; here only the edges of one phase's arithmetic.
TEST(ProgressWidth, RiseEndsAtTheDurationThenCreepsWithoutOverflow) {
  EXPECT_EQ(PhaseWidth(1, 7999), 179);
  EXPECT_EQ(PhaseWidth(1, 8000), 180);
  EXPECT_EQ(PhaseWidth(1, 8000 + kCreepIntervalMs - 1), 180);
  EXPECT_EQ(PhaseWidth(1, 8000 + kCreepIntervalMs), 181);
  EXPECT_EQ(PhaseWidth(4, 0xFFFFFFFFu), kFullBarWidth);
}

TEST(ProgressPercent, IsTheFullBarsShareRoundedDown) {
  for (const auto& c :
       {std::make_pair(1, L"0%"), {150, L"37%"}, {200, L"50%"}, {399, L"99%"}, {400, L"100%"}}) {
    EXPECT_EQ(PercentText(c.first), c.second);
  }
}

TEST(ProgressPhases, TheBarMovesTowardsTheFirstUnfinishedStepOnePhaseAtATime) {
  EXPECT_EQ(TargetPhase({false, true, true, true}), 1);
  EXPECT_EQ(TargetPhase({true, false, true, false}), 2);
  EXPECT_EQ(TargetPhase({true, true, false, false}), 3);
  EXPECT_EQ(TargetPhase({true, true, true, false}), 4);
  EXPECT_EQ(NextPhase(-1, 3, 5000, 0), 3);          // the first tick jumps to the target
  EXPECT_EQ(NextPhase(1, 4, 7999, 0), 1);           // not before the phase's duration
  EXPECT_EQ(NextPhase(1, 4, 8000, 0), 2);           // then one phase at a time
  EXPECT_EQ(NextPhase(3, 2, 100, 0), 2);            // a target behind the display is taken as is
  EXPECT_EQ(NextPhase(2, 4, 10u, 0xFFFFFFF0u), 2);  // tick counter wrap: 26 ms, not days
}

// A worker that is done at once still shows each phase for its minimum time; the bar never shrinks.
TEST(ProgressSimulation, FastWorkerTakesThirteenSecondsAndNeverShrinks) {
  const WorkerFlags done = {true, true, true, true};
  int phase = -1;
  uint32_t phase_start = 0;
  int width = 1;
  uint32_t finished_at = 0;
  const uint32_t start = 1000000;
  for (uint32_t t = 0; t <= 20000 && finished_at == 0; t += 10) {
    WorkerFlags flags = done;
    if (t == 0) flags = {false, false, false, false};  // the first tick sees nothing yet
    const ProgressTick tick = AdvanceProgress(&phase, &phase_start, width, flags, start + t);
    ASSERT_GE(tick.width, width);
    width = tick.width;
    if (t == 8000) EXPECT_EQ(phase, 2);
    if (tick.finished) finished_at = t;
  }
  EXPECT_EQ(phase, 4);
  EXPECT_EQ(width, 400);
  EXPECT_EQ(finished_at, 8000u + 1500 + 1500 + 2000);
}

TEST(ProgressSimulation, StuckWorkerHoldsAtEachCeiling) {
  const WorkerFlags stuck[] = {
      {false, false, false, true}, {true, false, false, true}, {true, true, false, true}};
  const int ceilings[] = {200, 290, 360};
  for (int i = 0; i < 3; ++i) {
    int phase = -1;
    uint32_t phase_start = 0;
    int width = 1;
    ProgressTick tick = {1, false};
    for (uint32_t t = 0; t <= 60000; t += 10)
      tick = AdvanceProgress(&phase, &phase_start, width, stuck[i], t), width = tick.width;
    EXPECT_EQ(width, ceilings[i]);
    EXPECT_FALSE(tick.finished);
  }
}

}  // namespace
}  // namespace varnelo
