// topic pub: publishes a message given as text, at a steady rate, until stopped.

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "common/timing.h"
#include "strand/messaging/message_context.h"
#include "strand/services/services.h"
#include "tools/topic/event_text.h"
#include "tools/topic/topic_tool.h"

int run_pub(const ToolOptions &opt) {
  MessageBuilder msg;
  std::string error;
  if (!EventText::build(opt.topic, opt.text, !opt.invalid, msg, error)) {
    fprintf(stderr, "topic: %s\n", error.c_str());
    return EXIT_USAGE;
  }
  const int nominal = services.at(opt.topic).frequency;
  const double rate = opt.rate > 0 ? opt.rate : (nominal > 0 ? nominal : 1);

  // A ZeroMQ publisher binds the topic's port on every interface; --host names subscribers' peers only.
  const std::string where = messaging_use_zmq() ? "ZeroMQ port " + std::to_string(services.at(opt.topic).port)
                                                : backend_description(opt.host);
  std::unique_ptr<PubSocket> socket(PubSocket::create(message_context.context(), opt.topic, true));
  if (!socket) {
    fprintf(stderr, "topic: cannot publish %s on %s\n", opt.topic.c_str(), where.c_str());
    return EXIT_FAILED;
  }
  fprintf(stderr, "topic: publishing %s at %g Hz on %s; Ctrl-C stops\n", opt.topic.c_str(), rate, where.c_str());

  // Sends are due at fixed times from the start, so a late wake-up does not slow the rate.
  auto event = msg.getRoot<strand::Event>();
  const double start = now_seconds();
  for (long long sent = 0; !do_exit && sent != opt.count; sent++) {
    const double due = start + sent / rate;
    while (!do_exit && now_seconds() < due) {
      std::this_thread::sleep_for(std::chrono::duration<double>(std::min(due - now_seconds(), 0.1)));
    }
    if (do_exit) break;
    event.setLogMonoTime(nanos_since_boot());
    auto bytes = msg.toBytes();
    if (socket->send((char *)bytes.begin(), bytes.size()) < 0) {
      fprintf(stderr, "topic: sending %s failed: %s\n", opt.topic.c_str(),
              errno == EADDRINUSE ? "another publisher has taken the topic over" : strerror(errno));
      return EXIT_FAILED;
    }
  }
  return 0;
}
