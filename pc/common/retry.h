#pragma once

// Waiting between attempts to reach an input that is gone (a camera, a stream, gpsd), so
// that a long outage costs little and a short one is over quickly, and every wait ends at
// once on an exit request.

#include "common/exit_handler.h"

class Backoff {
 public:
  Backoff(double first_seconds, double max_seconds)
      : first_(first_seconds), max_(max_seconds), next_(first_seconds) {}

  // The delay before the next attempt: `first`, then doubling up to `max`.
  double next() {
    const double d = next_;
    next_ = next_ * 2 > max_ ? max_ : next_ * 2;
    return d;
  }
  // After a success the next outage starts again from `first`.
  void reset() { next_ = first_; }

 private:
  double first_, max_, next_;
};

// Sleeps `seconds` in short slices; returns false as soon as an exit is requested.
bool sleep_unless_exit(const ExitHandler &exit, double seconds);
