// topic list: every topic heard within a few seconds, with its rate and last message.

#include <cstdio>
#include <ctime>
#include <map>
#include <memory>

#include "common/timing.h"
#include "tools/topic/topic_rate.h"
#include "tools/topic/topic_tool.h"

namespace {

// The wall-clock time `age` seconds ago, as HH:MM:SS.mmm local time.
std::string clock_time_ago(double age) {
  double t = seconds_since_epoch() - age;
  time_t whole = (time_t)t;
  struct tm local;
  localtime_r(&whole, &local);
  char text[32];
  snprintf(text, sizeof(text), "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
           (int)((t - whole) * 1000));
  return text;
}

}  // namespace

int run_list(const ToolOptions &opt) {
  const std::vector<std::string> topics = candidate_topics();
  if (topics.empty()) {
    fprintf(stderr, "topic: no topic has a queue on %s\n", backend_description(opt.host).c_str());
    return 0;
  }
  std::vector<std::unique_ptr<SubSocket>> sockets;
  std::map<SubSocket *, std::string> names;
  for (const std::string &topic : topics) {
    SubSocket *socket = subscribe(topic, opt.host);
    if (!socket) return EXIT_FAILED;
    sockets.emplace_back(socket);
    names[socket] = topic;
  }
  std::unique_ptr<Poller> poller(Poller::create());
  for (auto &socket : sockets) poller->registerSocket(socket.get());

  std::map<std::string, TopicRate> heard;
  const double end = now_seconds() + opt.duration;
  while (!do_exit && now_seconds() < end) {
    int wait_ms = std::max(0, (int)((end - now_seconds()) * 1000));
    for (SubSocket *ready : poller->poll(std::min(wait_ms, 100))) {
      while (Message *msg = ready->receive(true)) {
        heard[names[ready]].add(msg, now_seconds());
        delete msg;
      }
    }
  }

  if (heard.empty()) {
    fprintf(stderr, "topic: no message within %g s (%s)\n", opt.duration, backend_description(opt.host).c_str());
    return 0;
  }
  printf("%-28s %9s %10s  %s\n", "topic", "messages", "rate (Hz)", "last message");
  const double now = now_seconds();
  for (const auto &[topic, topic_rate] : heard) {
    const RateMeter &meter = topic_rate.meter();
    const double age = now - topic_rate.last_arrival();
    char rate[32] = "-";
    if (meter.count() >= 2) snprintf(rate, sizeof(rate), "%.2f", meter.rate());
    printf("%-28s %9lld %10s  %s (%.1f s ago)\n", topic.c_str(), (long long)meter.count(), rate,
           clock_time_ago(age).c_str(), age);
  }
  return 0;
}
