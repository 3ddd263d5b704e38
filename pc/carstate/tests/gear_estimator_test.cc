// The gear from GPS speed: when a car counts as driving and when as parked.

#include <gtest/gtest.h>

#include "pc/carstate/gear_estimator.h"

namespace {

struct Observation {
  double t;
  bool fix;
  double speed;
  bool drive;  // expected afterwards
};

TEST(GearEstimatorTest, DriveAfterMovingAndParkAfterStandingStill) {
  // Defaults: moving at >= 2 m/s for 5 s gives DRIVE; below 1 m/s (or no fix) for 60 s gives PARK.
  const struct {
    const char *name;
    std::vector<Observation> steps;
  } cases[] = {
      {"moving for five seconds is driving",
       {{0, true, 8, false}, {4.9, true, 8, false}, {5.0, true, 8, true}}},
      {"a slowdown below moving speed starts the count again",
       {{0, true, 8, false},
        {3, true, 1.5, false},
        {4, true, 8, false},
        {8.9, true, 8, false},
        {9, true, 8, true}}},
      {"without a fix nothing moves", {{0, false, 20, false}, {10, false, 20, false}}},
      {"a minute at a standstill is parked",
       {{0, true, 8, false},
        {5, true, 8, true},
        {6, true, 0.3, true},
        {65.9, true, 0.3, true},
        {66, true, 0.3, false}}},
      {"a red light keeps driving",
       {{0, true, 8, false},
        {5, true, 8, true},
        {6, true, 0, true},
        {50, true, 0, true},
        {51, true, 6, true},
        {120, true, 6, true}}},
      {"creeping in a queue is neither moving nor standing still",
       {{0, true, 8, false}, {5, true, 8, true}, {6, true, 1.5, true}, {100, true, 1.5, true}}},
      {"a minute without a fix (a garage) is parked",
       {{0, true, 8, false}, {5, true, 8, true}, {6, false, 0, true}, {66, false, 0, false}}},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    GearEstimator gear({});
    for (auto &s : c.steps) EXPECT_EQ(gear.update(s.t, s.fix, s.speed), s.drive) << "at " << s.t << " s";
  }
}

TEST(GearEstimatorTest, ThresholdsAreSettable) {
  GearEstimator gear({5.0, 0.5, 1.0, 2.0});
  EXPECT_FALSE(gear.update(0, true, 4.9));
  EXPECT_FALSE(gear.update(0.5, true, 5.0));
  EXPECT_TRUE(gear.update(1.5, true, 5.0));
  EXPECT_TRUE(gear.update(2, true, 0.4));
  EXPECT_FALSE(gear.update(4, true, 0.4));
}

}  // namespace
