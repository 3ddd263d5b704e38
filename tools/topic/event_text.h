#pragma once

// Events as Cap'n Proto text, both ways, with the schema compiled into the program: the
// form the capnp tool reads and writes, e.g. (logMonoTime = 5, deviceState = (started = true)).

#include <cstddef>
#include <string>

#include "strand/messaging/message_buffer.h"

class EventText {
 public:
  // The payload's Event in text form: one line, or indented over several with `pretty`.
  // A payload that is not a well-formed message throws kj::Exception.
  std::string to_text(const char *data, size_t size, bool pretty);

  // Fills `msg` with an Event whose member named `topic` is `member_text` (the text form of
  // that member's type), valid as given; logMonoTime is left for the caller to stamp.
  // False, with the reason in `error`, when the Event has no such member or the text does
  // not parse as its type.
  static bool build(const std::string &topic, const std::string &member_text, bool valid, MessageBuilder &msg,
                    std::string &error);

 private:
  AlignedBuffer buffer_;  // payloads carry no alignment promise; the reader needs words
};
