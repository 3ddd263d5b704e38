#pragma once

// Arrival statistics of one topic: how many messages, how fast, when the last one came.

#include <algorithm>
#include <cstdint>

class RateMeter {
 public:
  // One arrival at boot-clock time `t` (seconds).
  void add(double t) {
    if (count_ > 0) {
      min_interval_ = count_ == 1 ? t - last_ : std::min(min_interval_, t - last_);
      max_interval_ = std::max(max_interval_, t - last_);
    } else {
      first_ = t;
    }
    last_ = t;
    count_++;
  }

  int64_t count() const { return count_; }
  // Messages per second between the first and the last arrival; 0 before two arrivals.
  // Counting intervals rather than messages per elapsed time keeps a slow topic's figure
  // from depending on where the measuring window happens to start.
  double rate() const { return count_ >= 2 && last_ > first_ ? (count_ - 1) / (last_ - first_) : 0; }
  double min_interval() const { return min_interval_; }
  double max_interval() const { return max_interval_; }
  double last() const { return last_; }

 private:
  int64_t count_ = 0;
  double first_ = 0, last_ = 0;
  double min_interval_ = 0, max_interval_ = 0;
};
