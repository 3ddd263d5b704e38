#include "tools/topic/event_text.h"

#include <capnp/pretty-print.h>
#include <capnp/schema.h>
#include <capnp/serialize-text.h>
#include <kj/exception.h>

std::string EventText::to_text(const char *data, size_t size, bool pretty) {
  capnp::FlatArrayMessageReader reader(buffer_.align(data, size), event_reader_options());
  strand::Event::Reader event = reader.getRoot<strand::Event>();
  kj::String text = pretty ? capnp::prettyPrint(event).flatten() : kj::str(event);
  return std::string(text.cStr(), text.size());
}

bool EventText::build(const std::string &topic, const std::string &member_text, bool valid, MessageBuilder &msg,
                      std::string &error) {
  KJ_IF_MAYBE (field, capnp::Schema::from<strand::Event>().findFieldByName(topic)) {
    // The codec decodes whole structs only; wrapped in the Event it takes any member type.
    capnp::DynamicStruct::Builder event = capnp::toDynamic(msg.initEvent(valid));
    std::string event_text = "(" + topic + " = " + member_text + ")";
    kj::Maybe<kj::Exception> failure = kj::runCatchingExceptions([&] { capnp::TextCodec().decode(event_text, event); });
    KJ_IF_MAYBE (e, failure) {
      error = "not a " + topic + " message: " + member_text + ": " + e->getDescription().cStr();
      return false;
    }
    // Text that closes the member early could name other Event fields; only the member counts.
    KJ_IF_MAYBE (set, event.which()) {
      if (*set == *field && event.get("valid").as<bool>() == valid) return true;
    }
    error = "not a " + topic + " message: " + member_text + ": text beyond the member";
    return false;
  }
  error = "the Event has no member " + topic;
  return false;
}
