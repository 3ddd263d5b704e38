#include "strand/messaging/impl_msgq.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <pthread.h>
#include <signal.h>

#include "common/fatal_check.h"
#include "strand/services/services.h"

volatile sig_atomic_t msgq_do_exit = 0;

void sig_handler(int signal) {
  FATAL_CHECK(signal == SIGINT || signal == SIGTERM);
  msgq_do_exit = 1;
}

namespace {

void warn_if_not_a_service(const std::string &endpoint, bool check_endpoint) {
  if (check_endpoint && !service_exists(endpoint)) {
    printf("Warning, %s is not in service list.\n", endpoint.c_str());
    fflush(stdout);
  }
}

// Installs sig_handler for SIGINT and SIGTERM for one blocking receive and puts back what it
// found, flags and all.
class ExitSignalsTakenOver {
 public:
  ExitSignalsTakenOver() {
    struct sigaction sa = {};
    sa.sa_handler = sig_handler;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, &old_int);
    sigaction(SIGTERM, &sa, &old_term);
  }
  ~ExitSignalsTakenOver() {
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGTERM, &old_term, nullptr);
  }
  ExitSignalsTakenOver(const ExitSignalsTakenOver &) = delete;
  ExitSignalsTakenOver &operator=(const ExitSignalsTakenOver &) = delete;

 private:
  struct sigaction old_int = {};
  struct sigaction old_term = {};
};

// Holds SIGINT and SIGTERM back from this thread while a receive watches its queue, before it
// has taken the two over: one that comes then stays pending, and reaches sig_handler (ending
// the receive) once released under ExitSignalsTakenOver, or the program's own handler once the
// receive returns with a message.
class ExitSignalsHeld {
 public:
  ExitSignalsHeld() {
    sigset_t exit_signals;
    sigemptyset(&exit_signals);
    sigaddset(&exit_signals, SIGINT);
    sigaddset(&exit_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &exit_signals, &previous_);
  }
  ~ExitSignalsHeld() { release(); }
  void release() {
    if (held_) pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    held_ = false;
  }
  ExitSignalsHeld(const ExitSignalsHeld &) = delete;
  ExitSignalsHeld &operator=(const ExitSignalsHeld &) = delete;

 private:
  sigset_t previous_;
  bool held_ = true;
};

void release_queue(msgq_queue_t **q) {
  if (*q == nullptr) return;
  msgq_close_queue(*q);
  delete *q;
  *q = nullptr;
}

}  // namespace

void MSGQMessage::init(size_t sz) {
  close();
  size = sz;
  data = new char[size];
}

void MSGQMessage::init(char *d, size_t sz) {
  init(sz);
  memcpy(data, d, sz);
}

void MSGQMessage::takeOwnership(char *d, size_t sz) {
  close();
  data = d;
  size = sz;
}

void MSGQMessage::close() {
  delete[] data;  // init(0) still made a zero-length array
  data = nullptr;
  size = 0;
}

MSGQMessage::~MSGQMessage() { close(); }

int MSGQSubSocket::connect(Context *context, std::string endpoint, std::string address, bool conflate,
                           bool check_endpoint) {
  FATAL_CHECK(context);
  FATAL_CHECK(address == "127.0.0.1");
  warn_if_not_a_service(endpoint, check_endpoint);

  release_queue(&q);  // a second connect replaces the first queue
  q = new msgq_queue_t();
  int r = msgq_new_queue(q, endpoint.c_str(), MSGQ_QUEUE_SIZE);
  if (r != 0) return r;

  msgq_init_subscriber(q);
  if (conflate) q->read_conflate = true;
  timeout = -1;
  return 0;
}

void MSGQSubSocket::setTimeout(int t) { timeout = t; }

Message *MSGQSubSocket::receive(bool non_blocking) {
  if (q == nullptr) {  // not connected: nothing can arrive
    errno = ENOTCONN;
    return nullptr;
  }
  msgq_do_exit = 0;
  msgq_msg_t msg;
  // A message already waiting, or one that comes while the queue is watched for a moment, is
  // taken without touching the signal dispositions: a reader that keeps up with a busy
  // publisher then costs no system call per message, and one answering a quick peer few.
  int rc = msgq_msg_recv(&msg, q);
  if (!non_blocking && rc == 0) {
    msgq_pollitem_t item = {q, 0};
    std::optional<ExitSignalsHeld> held;
    if (timeout != 0) {
      held.emplace();
      if (msgq_poll_spin(&item, 1) > 0) rc = msgq_msg_recv(&msg, q);
    }
    std::optional<ExitSignalsTakenOver> signals;
    if (rc == 0) {
      signals.emplace();
      if (held) held->release();  // an exit signal that came during the watch ends the receive now
    }
    while (rc == 0 && !msgq_do_exit) {
      int ready = msgq_poll_sleep(&item, 1, timeout == -1 ? 100 : timeout);
      rc = msgq_msg_recv(&msg, q);
      if (ready > 0 && rc == 0) continue;  // ready, yet resynchronised to nothing: again at once
      if (timeout != -1) break;
    }
  }

  errno = msgq_do_exit ? EINTR : 0;
  if (rc > 0) {
    if (msgq_do_exit) {
      msgq_msg_close(&msg);
      return nullptr;
    }
    MSGQMessage *r = new MSGQMessage();
    r->takeOwnership(msg.data, msg.size);
    return r;
  }
  return nullptr;
}

MSGQSubSocket::~MSGQSubSocket() { release_queue(&q); }

int MSGQPubSocket::connect(Context *context, std::string endpoint, bool check_endpoint) {
  FATAL_CHECK(context);
  warn_if_not_a_service(endpoint, check_endpoint);

  release_queue(&q);
  q = new msgq_queue_t();
  int r = msgq_new_queue(q, endpoint.c_str(), MSGQ_QUEUE_SIZE);
  if (r != 0) return r;

  msgq_init_publisher(q);
  return 0;
}

int MSGQPubSocket::sendMessage(Message *message) { return send(message->getData(), message->getSize()); }

int MSGQPubSocket::send(char *data, size_t size) {
  msgq_msg_t msg;
  msg.data = data;  // borrowed: msgq_msg_send only reads it
  msg.size = size;
  return msgq_msg_send(&msg, q);
}

bool MSGQPubSocket::all_readers_updated() { return msgq_all_readers_updated(q); }

MSGQPubSocket::~MSGQPubSocket() { release_queue(&q); }

void MSGQPoller::registerSocket(SubSocket *socket) {
  FATAL_CHECK(num_polls + 1 < MAX_POLLERS);
  polls[num_polls].q = static_cast<msgq_queue_t *>(socket->getRawSocket());
  polls[num_polls].revents = 0;
  sockets.push_back(socket);
  num_polls++;
}

std::vector<SubSocket *> MSGQPoller::poll(int timeout) {
  msgq_poll(polls, num_polls, timeout);
  std::vector<SubSocket *> ready;
  for (size_t i = 0; i < num_polls; i++) {
    if (polls[i].revents) ready.push_back(sockets[i]);
  }
  return ready;
}
