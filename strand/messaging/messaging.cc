// The factories of the messaging interfaces. For now every object comes from the
// shared-memory queue backend; the environment tests already follow the selection rules.
#undef NDEBUG
#include "strand/messaging/messaging.h"

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "strand/messaging/impl_msgq.h"

bool messaging_use_zmq() {
  if (std::getenv("ZMQ") == nullptr) return false;
  if (std::getenv("TAVRIN_PREFIX") != nullptr) {
    fprintf(stderr, "TAVRIN_PREFIX not supported with ZMQ backend\n");
    assert(false);
  }
  return true;
}

bool messaging_use_fake() { return std::getenv("STRAND_FAKE") != nullptr; }

Context *Context::create() { return new MSGQContext(); }

SubSocket *SubSocket::create() { return new MSGQSubSocket(); }

SubSocket *SubSocket::create(Context *context, std::string endpoint, std::string address, bool conflate,
                             bool check_endpoint) {
  SubSocket *s = SubSocket::create();
  if (s->connect(context, endpoint, address, conflate, check_endpoint) != 0) {
    fprintf(stderr, "Error, failed to connect SubSocket to %s: %s\n", endpoint.c_str(), strerror(errno));
    delete s;
    return nullptr;
  }
  return s;
}

PubSocket *PubSocket::create() { return new MSGQPubSocket(); }

PubSocket *PubSocket::create(Context *context, std::string endpoint, bool check_endpoint) {
  PubSocket *s = PubSocket::create();
  if (s->connect(context, endpoint, check_endpoint) != 0) {
    fprintf(stderr, "Error, failed to bind PubSocket to %s: %s\n", endpoint.c_str(), strerror(errno));
    delete s;
    return nullptr;
  }
  return s;
}

Poller *Poller::create() { return new MSGQPoller(); }

Poller *Poller::create(std::vector<SubSocket *> sockets) {
  Poller *p = Poller::create();
  for (SubSocket *s : sockets) p->registerSocket(s);
  return p;
}
