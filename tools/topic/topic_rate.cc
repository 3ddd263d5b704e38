#include "tools/topic/topic_rate.h"

#include <capnp/serialize.h>
#include <kj/exception.h>

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

}  // namespace

void TopicRate::add(Message *msg, double now) {
  arrivals_.add(now);
  if (!stamped_) return;
  const double sent = publication_time(msg, buffer_);
  stamped_ = sent > 0 && (stamps_.count() == 0 || sent > stamps_.last());
  if (stamped_) stamps_.add(sent);
}
