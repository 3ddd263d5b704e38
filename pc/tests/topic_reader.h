#pragma once

// Every message of one topic as it arrives (no conflation, unlike SubMaster), decoded as an
// Event: how the tests see what a publisher sent.

#include <capnp/serialize.h>

#include <chrono>
#include <functional>
#include <memory>

#include "strand/messaging/message_buffer.h"
#include "strand/messaging/messaging.h"
#include "tests/support/wait.h"

namespace pc_test {

class TopicReader {
 public:
  explicit TopicReader(const char *topic)
      : context_(Context::create()),
        socket_(SubSocket::create(context_.get(), topic, "127.0.0.1", false, true)) {
    socket_->setTimeout(100);
  }

  // Hands the next message to `fn`, waiting at most `timeout_ms`; false when none came.
  bool next(const std::function<void(strand::Event::Reader)> &fn, int timeout_ms) {
    std::unique_ptr<Message> msg;
    // Each receive waits up to the socket's 100 ms timeout itself.
    if (!wait_until([&] { return (msg.reset(socket_->receive()), msg != nullptr); },
                    std::chrono::milliseconds(timeout_ms), std::chrono::milliseconds(0))) {
      return false;
    }
    decode(*msg, fn);
    return true;
  }

  // Hands every message waiting now to `fn`, without waiting; how many there were.
  int drain(const std::function<void(strand::Event::Reader)> &fn) {
    int n = 0;
    for (std::unique_ptr<Message> msg(socket_->receive(true)); msg; msg.reset(socket_->receive(true)), n++) {
      decode(*msg, fn);
    }
    return n;
  }

  // Reads messages until `done(event)` says so, for at most `timeout_ms`.
  bool until(const std::function<bool(strand::Event::Reader)> &done, int timeout_ms) {
    bool found = false;
    return wait_until([&] { return next([&](strand::Event::Reader e) { found = done(e); }, 100) && found; },
                      std::chrono::milliseconds(timeout_ms), std::chrono::milliseconds(0));
  }

 private:
  void decode(Message &msg, const std::function<void(strand::Event::Reader)> &fn) {
    capnp::FlatArrayMessageReader reader(buffer_.align(&msg), event_reader_options());
    fn(reader.getRoot<strand::Event>());
  }

  std::unique_ptr<Context> context_;
  std::unique_ptr<SubSocket> socket_;
  AlignedBuffer buffer_;
};

}  // namespace pc_test
