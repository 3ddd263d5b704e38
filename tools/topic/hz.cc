// topic hz: how often a topic's messages arrive, reported every second.

#include <cstdio>
#include <memory>

#include "tools/topic/rate_meter.h"
#include "tools/topic/receive_loop.h"
#include "tools/topic/topic_tool.h"

namespace {

void report(const std::string &topic, const RateMeter &meter) {
  if (meter.count() < 2) {
    printf("%s: %lld message(s), no rate yet\n", topic.c_str(), (long long)meter.count());
  } else {
    printf("%s: %.3f Hz over %lld messages (intervals %.1f to %.1f ms)\n", topic.c_str(), meter.rate(),
           (long long)meter.count(), meter.min_interval() * 1000, meter.max_interval() * 1000);
  }
  fflush(stdout);
}

}  // namespace

int run_hz(const ToolOptions &opt) {
  std::unique_ptr<SubSocket> socket(subscribe(opt.topic, opt.host));
  if (!socket) return EXIT_FAILED;
  RateMeter meter;
  double next_report = now_seconds() + 1.0;
  receive_messages(
      socket.get(), opt.count, [&](Message *) { meter.add(now_seconds()); },
      [&] {
        if (now_seconds() < next_report) return;
        next_report += 1.0;
        report(opt.topic, meter);
      });
  report(opt.topic, meter);
  return 0;
}
