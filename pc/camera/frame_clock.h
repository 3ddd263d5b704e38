#pragma once

// Places a source's pictures on the boot clock. A picture is due when its presentation time,
// counted from the first picture's, has passed on the boot clock since that picture was read:
// so a file plays in real time, and a live camera's pictures keep the spacing the camera gave
// them. When the two clocks part by more than `max_skew` (a file starts again, a stream's
// timestamps jump, a live source drifts or falls behind) the clock takes the current picture
// as its new starting point.

#include <cstdint>

class FrameClock {
 public:
  explicit FrameClock(double max_skew_seconds = 1.0) : max_skew_ns_((uint64_t)(max_skew_seconds * 1e9)) {}

  // The boot-clock time (ns) at which a picture with presentation time `pts_seconds` (NaN:
  // none, due at once) read at `now_ns` is due.
  uint64_t due(double pts_seconds, uint64_t now_ns);
  // A new input: the next picture starts the count again.
  void reset() { anchored_ = false; }

 private:
  uint64_t max_skew_ns_;
  bool anchored_ = false;
  double anchor_pts_ = 0;
  uint64_t anchor_ns_ = 0;
};
