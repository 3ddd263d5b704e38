#pragma once

// Lock-step subscribers: a backend subscriber whose receive waits, while the endpoint's event
// record is enabled, until a controlling process lets it take its next message. See event.h.

#include <sys/mman.h>

#include <memory>
#include <string>
#include <vector>

#include "strand/messaging/event.h"
#include "strand/messaging/messaging.h"

template <typename TSubSocket>
class FakeSubSocket : public TSubSocket {
 public:
  FakeSubSocket() = default;
  ~FakeSubSocket() override {
    // The descriptors belong to the controller and the file outlives us: only unmap.
    if (state != nullptr) {
      munmap(state, sizeof(EventState));
    }
  }
  FakeSubSocket(const FakeSubSocket &) = delete;
  FakeSubSocket &operator=(const FakeSubSocket &) = delete;

  // Maps the endpoint's event record (identifier from STRAND_FAKE_PREFIX; its exceptions
  // propagate), then connects the backend subscriber.
  int connect(Context *context, std::string endpoint, std::string address, bool conflate = false,
              bool check_endpoint = true) override {
    char *mem = nullptr;
    event_state_shm_mmap(endpoint, SocketEventHandle::fake_prefix(), &mem, nullptr);
    state = reinterpret_cast<EventState *>(mem);
    recv_called = std::make_unique<Event>(state->fds[RECV_CALLED]);
    recv_ready = std::make_unique<Event>(state->fds[RECV_READY]);
    return TSubSocket::connect(context, endpoint, address, conflate, check_endpoint);
  }

  // While lock-step delivery is on, tells the controller we are here and waits, without a
  // time limit, for its go-ahead before the real receive.
  Message *receive(bool non_blocking = false) override {
    if (state != nullptr && state->enabled) {
      recv_called->set();
      recv_ready->wait(-1);
      recv_ready->clear();
    }
    return TSubSocket::receive(non_blocking);
  }

 private:
  std::unique_ptr<Event> recv_called;
  std::unique_ptr<Event> recv_ready;
  EventState *state = nullptr;
};

// Reports every registered socket ready at once, so that each subscriber's receive is where
// the controller holds it.
class FakePoller : public Poller {
 public:
  void registerSocket(SubSocket *socket) override;
  // All registered sockets in registration order; the timeout is not used.
  std::vector<SubSocket *> poll(int timeout) override;

 private:
  std::vector<SubSocket *> sockets;
};
