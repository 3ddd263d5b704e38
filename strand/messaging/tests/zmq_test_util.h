#pragma once

// A connected ZeroMQ publisher and subscriber for tests. Subscriptions are established
// asynchronously and a publisher drops what it sends before they are, so a pair only counts
// as ready once a message has gone through it.

#include <chrono>
#include <memory>
#include <string>

#include "strand/messaging/impl_zmq.h"
#include "tests/support/child_process.h"
#include "tests/support/free_port.h"
#include "tests/support/test_prefix.h"
#include "tests/support/wait.h"

namespace messaging_test {

// Publishes numbered probes until `sub` receives the last one sent; since a connection
// delivers in order, nothing sent so far is left in flight afterwards. False after 10 s.
// Probe numbers never repeat within a process, so earlier probes cannot be mistaken.
inline bool warm_up(PubSocket *pub, SubSocket *sub) {
  static int next_probe = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  sub->setTimeout(20);
  bool done = false;
  while (!done && ms_until(deadline) > 0) {
    std::string probe = "warm-" + std::to_string(next_probe++);
    pub->send(probe.data(), probe.size());
    while (Message *msg = sub->receive(false)) {
      done = std::string(msg->getData(), msg->getSize()) == probe;
      delete msg;
      if (done) break;
    }
  }
  sub->setTimeout(-1);
  return done;
}

struct ZmqPair {
  explicit ZmqPair(int port, const std::string &address = "127.0.0.1")
      : pub(std::make_unique<ZMQPubSocket>()), sub(std::make_unique<ZMQSubSocket>()) {
    bound = pub->connect(&context, std::to_string(port), false) == 0 &&
            sub->connect(&context, std::to_string(port), address, false, false) == 0 &&
            warm_up(pub.get(), sub.get());
  }
  bool ready() const { return bound; }

  ZMQContext context;  // declared first: outlives the sockets
  std::unique_ptr<ZMQPubSocket> pub;
  std::unique_ptr<ZMQSubSocket> sub;
  bool bound = false;
};

}  // namespace messaging_test
