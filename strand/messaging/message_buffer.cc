#include "strand/messaging/message_buffer.h"

#include <algorithm>
#include <cstring>

#include "common/timing.h"

kj::ArrayPtr<const capnp::word> AlignedBuffer::align(const char *data, const size_t size) {
  words_size = size / sizeof(capnp::word) + 1;
  if (aligned_buf.size() < words_size) {
    aligned_buf = kj::heapArray<capnp::word>(std::max(words_size, MIN_WORDS));
  }
  // An empty payload may come with a null pointer, which memcpy must not see.
  if (size > 0) {
    memcpy(aligned_buf.begin(), data, size);
  }
  return aligned_buf.slice(0, words_size);
}

kj::ArrayPtr<const capnp::word> AlignedBuffer::align(Message *msg) {
  return align(msg->getData(), msg->getSize());
}

strand::Event::Builder MessageBuilder::initEvent(bool valid) {
  strand::Event::Builder event = initRoot<strand::Event>();
  event.setLogMonoTime(nanos_since_boot());
  event.setValid(valid);
  return event;
}

kj::ArrayPtr<capnp::byte> MessageBuilder::toBytes() {
  heap_array_ = capnp::messageToFlatArray(*this);
  return heap_array_.asBytes();
}
