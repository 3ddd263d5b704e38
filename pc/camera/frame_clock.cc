#include "pc/camera/frame_clock.h"

#include <cmath>

uint64_t FrameClock::due(double pts_seconds, uint64_t now_ns) {
  if (std::isnan(pts_seconds)) return now_ns;
  if (anchored_) {
    const double offset_ns = (pts_seconds - anchor_pts_) * 1e9;
    const double due_ns = (double)anchor_ns_ + offset_ns;
    if (due_ns >= (double)now_ns - (double)max_skew_ns_ && due_ns <= (double)now_ns + (double)max_skew_ns_) {
      return (uint64_t)due_ns;
    }
  }
  anchored_ = true;
  anchor_pts_ = pts_seconds;
  anchor_ns_ = now_ns;
  return now_ns;
}
