#pragma once

// A gear for a car that tells the PC nothing, from GPS speed alone, with hysteresis so that
// trips and the recorder's idle timer behave: DRIVE once the car has been moving (at least
// `moving_speed`) for `drive_after` seconds without a break; PARK once it has stood still
// (below `stopped_speed`, or without a fix) for `park_after` seconds without a break. Speeds in
// between keep the gear and break both counts. A traffic light keeps DRIVE; a car parked in a
// garage without a fix comes to PARK.

#include <cstdint>

struct GearThresholds {
  double moving_speed = 2.0;   // m/s, about 7 km/h: faster than GPS jitter at a standstill
  double stopped_speed = 1.0;  // m/s
  double drive_after = 5.0;    // seconds
  double park_after = 60.0;    // seconds
};

class GearEstimator {
 public:
  explicit GearEstimator(GearThresholds thresholds) : t_(thresholds) {}

  // One observation at boot-clock second `now`: whether a fix is current, and its speed.
  // Returns whether the car is in DRIVE afterwards.
  bool update(double now, bool has_fix, double speed);
  bool in_drive() const { return drive_; }

 private:
  GearThresholds t_;
  bool drive_ = false;
  double moving_since_ = -1;  // start of the current unbroken run, or -1
  double stopped_since_ = -1;
};
