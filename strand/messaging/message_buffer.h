#pragma once

// Turning transport payloads into Event readers and built Events into payloads.
//
// A payload on a topic is one Cap'n Proto message in the standard flat serialisation
// (segment table, then segments), with nothing before or after it.

#include <capnp/message.h>
#include <capnp/serialize.h>
#include <kj/array.h>

#include <cstddef>

#include "strand/gen/cpp/log.capnp.h"
#include "strand/messaging/messaging.h"

// Options for every reader over a received payload. The traversal limit guards against
// amplification attacks on untrusted data; topic payloads come from the device's own
// daemons and a long-running reader would otherwise hit the limit after enough reads.
inline capnp::ReaderOptions event_reader_options() {
  capnp::ReaderOptions options;
  options.traversalLimitInWords = kj::maxValue;
  options.nestingLimit = 64;
  return options;
}

// A reusable word-aligned copy of a payload: the flat-array reader needs word-aligned
// input and a transport payload promises no alignment. The array only grows (to at least
// 512 words), so a topic's buffer settles at its largest message and later copies
// allocate nothing.
class AlignedBuffer {
 public:
  static constexpr size_t MIN_WORDS = 512;

  // Copies size bytes and returns the first size / 8 + 1 words: always one word more than
  // the whole words of the payload, whose tail bytes keep what they held before. The view
  // stays valid until the next align() or the buffer's destruction.
  kj::ArrayPtr<const capnp::word> align(const char *data, const size_t size);
  kj::ArrayPtr<const capnp::word> align(Message *msg);

  // Words held (the array's length), whatever the last view's length.
  size_t capacity() const { return aligned_buf.size(); }

 private:
  kj::Array<capnp::word> aligned_buf;
  size_t words_size = 0;
};

// A message builder that can hand out its flat serialisation as one contiguous payload.
class MessageBuilder : public capnp::MallocMessageBuilder {
 public:
  // Words of the first segment: room for the largest routine topic message, so most
  // messages are built in one segment without growing.
  static constexpr unsigned FIRST_SEGMENT_WORDS = 1024;

  MessageBuilder() : capnp::MallocMessageBuilder(FIRST_SEGMENT_WORDS) {}
  MessageBuilder(const MessageBuilder &) = delete;
  MessageBuilder &operator=(const MessageBuilder &) = delete;

  // Starts the root Event with its envelope filled in: logMonoTime from the boot clock and
  // the given validity.
  strand::Event::Builder initEvent(bool valid = true);

  // Serialises the message and returns the bytes. The view stays valid until the next
  // toBytes() or the builder's destruction.
  kj::ArrayPtr<capnp::byte> toBytes();

 private:
  kj::Array<capnp::word> heap_array_;
};
