// topic hz: how often a topic's messages come, reported every second.

#include <cstdio>
#include <memory>

#include "tools/topic/receive_loop.h"
#include "tools/topic/topic_rate.h"
#include "tools/topic/topic_tool.h"

namespace {

void report(const std::string &topic, const TopicRate &rate) {
  const RateMeter &m = rate.meter();
  if (m.count() < 2) {
    printf("%s: %lld message(s), no rate yet\n", topic.c_str(), (long long)m.count());
  } else {
    printf("%s: %.3f Hz over %lld messages (intervals %.1f to %.1f ms, %s)\n", topic.c_str(), m.rate(),
           (long long)m.count(), m.min_interval() * 1000, m.max_interval() * 1000, rate.clock());
  }
  fflush(stdout);
}

}  // namespace

int run_hz(const ToolOptions &opt) {
  std::unique_ptr<SubSocket> socket(subscribe(opt.topic, opt.host));
  if (!socket) return EXIT_FAILED;
  TopicRate rate;
  double next_report = now_seconds() + 1.0;
  receive_messages(
      socket.get(), opt.count, [&](Message *msg) { rate.add(msg, now_seconds()); },
      [&] {
        if (now_seconds() < next_report) return;
        next_report += 1.0;
        report(opt.topic, rate);
      });
  report(opt.topic, rate);
  return 0;
}
