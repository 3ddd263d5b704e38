// When pictures are due (the source's own timing on the boot clock) and what each output tick
// sends: the rules that let any source feed a fixed 20 frames/s.

#include <cmath>

#include <gtest/gtest.h>

#include "pc/camera/frame_clock.h"
#include "pc/camera/latest_frame.h"

namespace {

constexpr uint64_t MS = 1000000;
constexpr uint64_t T0 = 1000000 * MS;  // some boot-clock time

struct ClockStep {
  double pts;    // seconds, NaN: none
  uint64_t now;  // when the picture was read
  uint64_t due;  // when it is due
};

TEST(FrameClockTest, PicturesKeepTheirSpacingAndJumpsStartTheCountAgain) {
  const struct {
    const char *name;
    std::vector<ClockStep> steps;
  } cases[] = {
      {"a file read ahead plays in real time",
       {{10.0, T0, T0}, {10.05, T0 + 1 * MS, T0 + 50 * MS}, {10.1, T0 + 2 * MS, T0 + 100 * MS}}},
      {"a source without timestamps is due when read", {{NAN, T0, T0}, {NAN, T0 + 7 * MS, T0 + 7 * MS}}},
      {"a file that starts again is due at once, then in real time",
       {{7.9, T0, T0}, {0.0, T0 + 100 * MS, T0 + 100 * MS}, {0.5, T0 + 101 * MS, T0 + 600 * MS}}},
      {"a jump an hour ahead does not wait an hour", {{1.0, T0, T0}, {3601.0, T0 + 50 * MS, T0 + 50 * MS}}},
      {"a live source that fell behind by over a second catches up",
       {{1.0, T0, T0}, {1.05, T0 + 1500 * MS, T0 + 1500 * MS}, {1.1, T0 + 1550 * MS, T0 + 1550 * MS}}},
      {"a live source a little late keeps its spacing", {{1.0, T0, T0}, {1.05, T0 + 300 * MS, T0 + 50 * MS}}},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    FrameClock clock;
    for (size_t i = 0; i < c.steps.size(); i++) {
      EXPECT_EQ(clock.due(c.steps[i].pts, c.steps[i].now), c.steps[i].due) << "picture " << i;
    }
  }
}

TEST(TickChoiceTest, NewestPictureElseARecentRepeatElseNothing) {
  const uint64_t max_repeat = 1000 * MS;
  const struct {
    const char *name;
    FrameInfo info;
    uint64_t last_sent;
    uint64_t tick;
    TickChoice expected;
  } cases[] = {
      {"nothing yet", {0, 0, 0, false}, 0, T0, TickChoice::SKIP},
      {"a new picture", {5, T0, T0, true}, 4, T0 + 10 * MS, TickChoice::SEND_NEW},
      {"a slow source repeats", {5, T0, T0, true}, 5, T0 + 50 * MS, TickChoice::REPEAT},
      {"up to the repeat limit", {5, T0, T0, true}, 5, T0 + max_repeat, TickChoice::REPEAT},
      {"a stalled source stops", {5, T0, T0, true}, 5, T0 + max_repeat + 1, TickChoice::SKIP},
      {"a lost input is not repeated", {5, T0, T0, false}, 5, T0 + 50 * MS, TickChoice::SKIP},
      {"the last picture of a lost input still goes once",
       {6, T0, T0, false},
       5,
       T0 + 10 * MS,
       TickChoice::SEND_NEW},
  };
  for (auto &c : cases) {
    EXPECT_EQ(choose_for_tick(c.info, c.last_sent, c.tick, max_repeat), c.expected) << c.name;
  }
}

}  // namespace
