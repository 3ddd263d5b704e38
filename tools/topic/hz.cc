// topic hz: how often a topic's messages come, reported every second.
//
// The rate is taken on the publisher's clock (the logMonoTime stamps of the Events) while
// every message carries a later stamp than the one before: a stall of this tool, or of the
// network, then only delays the messages and does not skew the figure. Messages without
// such stamps are timed by their arrival here.

#include <capnp/serialize.h>
#include <kj/exception.h>

#include <cstdio>
#include <memory>

#include "strand/messaging/message_buffer.h"
#include "tools/topic/rate_meter.h"
#include "tools/topic/receive_loop.h"
#include "tools/topic/topic_tool.h"

namespace {

// The Event's logMonoTime in seconds; 0 when the payload is not an Event or has no stamp.
double publication_time(Message *msg, AlignedBuffer &buffer) {
  uint64_t stamp = 0;
  kj::runCatchingExceptions([&] {
    capnp::FlatArrayMessageReader reader(buffer.align(msg), event_reader_options());
    stamp = reader.getRoot<strand::Event>().getLogMonoTime();
  });
  return stamp * 1e-9;
}

void report(const std::string &topic, const RateMeter &meter, const char *clock) {
  if (meter.count() < 2) {
    printf("%s: %lld message(s), no rate yet\n", topic.c_str(), (long long)meter.count());
  } else {
    printf("%s: %.3f Hz over %lld messages (intervals %.1f to %.1f ms, %s)\n", topic.c_str(), meter.rate(),
           (long long)meter.count(), meter.min_interval() * 1000, meter.max_interval() * 1000, clock);
  }
  fflush(stdout);
}

}  // namespace

int run_hz(const ToolOptions &opt) {
  std::unique_ptr<SubSocket> socket(subscribe(opt.topic, opt.host));
  if (!socket) return EXIT_FAILED;
  RateMeter arrivals, stamps;
  bool stamped = true;  // every message so far had a stamp later than the one before
  AlignedBuffer buffer;
  auto show = [&] {
    if (stamped) {
      report(opt.topic, stamps, "publisher's clock");
    } else {
      report(opt.topic, arrivals, "arrival times");
    }
  };
  double next_report = now_seconds() + 1.0;
  receive_messages(
      socket.get(), opt.count,
      [&](Message *msg) {
        arrivals.add(now_seconds());
        const double sent = publication_time(msg, buffer);
        stamped = stamped && sent > 0 && (stamps.count() == 0 || sent > stamps.last());
        if (stamped) stamps.add(sent);
      },
      [&] {
        if (now_seconds() < next_report) return;
        next_report += 1.0;
        show();
      });
  show();
  return 0;
}
