#pragma once

// How fast one topic's messages come. Stamped Events are timed on the publisher's clock
// (their logMonoTime) as long as every message carries a later stamp than the one before: a
// stall of this tool, or of the network, then only delays messages and does not skew the
// figure. Messages without such stamps are timed by their arrival here.

#include "strand/messaging/message_buffer.h"
#include "strand/messaging/messaging.h"
#include "tools/topic/rate_meter.h"

class TopicRate {
 public:
  // One message, arrived at boot-clock time `now` (seconds).
  void add(Message *msg, double now);

  // The meter on the clock in use, and that clock's name.
  const RateMeter &meter() const { return stamped_ ? stamps_ : arrivals_; }
  const char *clock() const { return stamped_ ? "publisher's clock" : "arrival times"; }
  // Boot-clock time of the last arrival here.
  double last_arrival() const { return arrivals_.last(); }

 private:
  RateMeter arrivals_, stamps_;
  bool stamped_ = true;  // every message so far had a stamp later than the one before
  AlignedBuffer buffer_;
};
