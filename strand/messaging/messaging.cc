// The factories of the messaging interfaces: the only place that names a backend class.
// Each call reads the environment afresh: the shared-memory queue by default, ZeroMQ when
// ZMQ is set, lock-step fake subscribers and pollers when STRAND_FAKE is set.
#include "strand/messaging/messaging.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "strand/messaging/impl_fake.h"
#include "strand/messaging/impl_msgq.h"
#include "strand/messaging/impl_zmq.h"

bool messaging_use_zmq() {
  if (std::getenv("ZMQ") == nullptr) return false;
  // Queue-file prefixes have no meaning for TCP ports: refuse rather than let two test
  // instances silently share ports. A configuration mistake, not a fault: one sentence, no core.
  if (std::getenv("TAVRIN_PREFIX") != nullptr) {
    fprintf(stderr, "TAVRIN_PREFIX not supported with ZMQ backend: unset one of TAVRIN_PREFIX and ZMQ.\n");
    fflush(stdout);
    exit(EXIT_FAILURE);
  }
  return true;
}

bool messaging_use_fake() { return std::getenv("STRAND_FAKE") != nullptr; }

Context *Context::create() {
  if (messaging_use_zmq()) return new ZMQContext();
  return new MSGQContext();
}

SubSocket *SubSocket::create() {
  if (messaging_use_fake()) {
    if (messaging_use_zmq()) return new FakeSubSocket<ZMQSubSocket>();
    return new FakeSubSocket<MSGQSubSocket>();
  }
  if (messaging_use_zmq()) return new ZMQSubSocket();
  return new MSGQSubSocket();
}

SubSocket *SubSocket::create(Context *context, std::string endpoint, std::string address, bool conflate,
                             bool check_endpoint) {
  // Held so that an exception out of connect (unknown topic, event file) does not leak it.
  std::unique_ptr<SubSocket> s(SubSocket::create());
  if (s->connect(context, endpoint, address, conflate, check_endpoint) != 0) {
    fprintf(stderr, "Error, failed to connect SubSocket to %s: %s\n", endpoint.c_str(), strerror(errno));
    return nullptr;
  }
  return s.release();
}

PubSocket *PubSocket::create() {
  if (messaging_use_zmq()) return new ZMQPubSocket();
  return new MSGQPubSocket();
}

PubSocket *PubSocket::create(Context *context, std::string endpoint, bool check_endpoint) {
  std::unique_ptr<PubSocket> s(PubSocket::create());
  if (s->connect(context, endpoint, check_endpoint) != 0) {
    fprintf(stderr, "Error, failed to bind PubSocket to %s: %s\n", endpoint.c_str(), strerror(errno));
    return nullptr;
  }
  return s.release();
}

Poller *Poller::create() {
  // Every fake subscriber reports ready at once whatever its backend, so the ZMQ test is not
  // made here.
  if (messaging_use_fake()) return new FakePoller();
  if (messaging_use_zmq()) return new ZMQPoller();
  return new MSGQPoller();
}

Poller *Poller::create(std::vector<SubSocket *> sockets) {
  Poller *p = Poller::create();
  for (SubSocket *s : sockets) p->registerSocket(s);
  return p;
}
