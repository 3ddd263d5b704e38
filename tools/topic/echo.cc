// topic echo: every message of a topic as Cap'n Proto text, one per line (or indented).

#include <kj/exception.h>

#include <cstdio>
#include <memory>

#include "tools/topic/event_text.h"
#include "tools/topic/receive_loop.h"
#include "tools/topic/topic_tool.h"

int run_echo(const ToolOptions &opt) {
  std::unique_ptr<SubSocket> socket(subscribe(opt.topic, opt.host));
  if (!socket) return EXIT_FAILED;
  EventText text;
  receive_messages(socket.get(), opt.count, [&](Message *msg) {
    // A malformed message is reported and skipped: the next one may be fine.
    kj::Maybe<kj::Exception> failure = kj::runCatchingExceptions([&] {
      std::string line = text.to_text(msg->getData(), msg->getSize(), opt.pretty);
      printf("%s\n", line.c_str());
    });
    KJ_IF_MAYBE (e, failure) {
      fprintf(stderr, "topic: %s: a message of %zu bytes is not an Event: %s\n", opt.topic.c_str(),
              msg->getSize(), e->getDescription().cStr());
    }
    fflush(stdout);
  });
  return 0;
}
