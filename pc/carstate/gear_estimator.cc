#include "pc/carstate/gear_estimator.h"

bool GearEstimator::update(double now, bool has_fix, double speed) {
  const bool moving = has_fix && speed >= t_.moving_speed;
  const bool stopped = !has_fix || speed < t_.stopped_speed;
  moving_since_ = moving ? (moving_since_ < 0 ? now : moving_since_) : -1;
  stopped_since_ = stopped ? (stopped_since_ < 0 ? now : stopped_since_) : -1;
  if (!drive_ && moving && now - moving_since_ >= t_.drive_after) drive_ = true;
  if (drive_ && stopped && now - stopped_since_ >= t_.park_after) drive_ = false;
  return drive_;
}
