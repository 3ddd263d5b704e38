#pragma once

// The messaging interfaces over the shared-memory queue: every topic is one queue file named
// after the endpoint, with a data area of MSGQ_QUEUE_SIZE bytes.

#include <csignal>
#include <string>
#include <vector>

#include "strand/messaging/messaging.h"
#include "strand/messaging/msgq.h"

// Set by sig_handler while a blocking receive has taken over SIGINT and SIGTERM.
extern volatile sig_atomic_t msgq_do_exit;
void sig_handler(int signal);

// The queue needs no context; the object only exists to satisfy the interface.
class MSGQContext : public Context {
 public:
  void *getRawContext() override { return context; }
  ~MSGQContext() override {}

 private:
  void *context = nullptr;
};

// Owns `data` (made with new[]), also a zero-length one.
class MSGQMessage : public Message {
 public:
  MSGQMessage() = default;
  MSGQMessage(const MSGQMessage &) = delete;
  MSGQMessage &operator=(const MSGQMessage &) = delete;

  void init(size_t size) override;
  void init(char *data, size_t size) override;
  // Adopts an array made with new[], without copying.
  void takeOwnership(char *data, size_t size);
  void close() override;
  size_t getSize() override { return size; }
  char *getData() override { return data; }
  ~MSGQMessage() override;

 private:
  char *data = nullptr;
  size_t size = 0;
};

class MSGQSubSocket : public SubSocket {
 public:
  MSGQSubSocket() = default;
  MSGQSubSocket(const MSGQSubSocket &) = delete;
  MSGQSubSocket &operator=(const MSGQSubSocket &) = delete;

  // address must be "127.0.0.1": the queue reaches only this machine.
  int connect(Context *context, std::string endpoint, std::string address, bool conflate = false,
              bool check_endpoint = true) override;
  void setTimeout(int timeout) override;
  // A blocking receive takes over SIGINT and SIGTERM while it waits: such a signal ends it
  // with null and errno EINTR, and the application's handlers are restored (not called).
  // Before connect: null with errno ENOTCONN.
  Message *receive(bool non_blocking = false) override;
  // The msgq_queue_t handle, for MSGQPoller.
  void *getRawSocket() override { return q; }
  // Closes the queue; the reader slot stays taken in the file.
  ~MSGQSubSocket() override;

 private:
  msgq_queue_t *q = nullptr;
  int timeout = -1;
};

class MSGQPubSocket : public PubSocket {
 public:
  MSGQPubSocket() = default;
  MSGQPubSocket(const MSGQPubSocket &) = delete;
  MSGQPubSocket &operator=(const MSGQPubSocket &) = delete;

  // Takes the queue over from any earlier publisher.
  int connect(Context *context, std::string endpoint, bool check_endpoint = true) override;
  // The message is not copied before it reaches the queue; the caller keeps it.
  int sendMessage(Message *message) override;
  int send(char *data, size_t size) override;
  bool all_readers_updated() override;
  ~MSGQPubSocket() override;

 private:
  msgq_queue_t *q = nullptr;
};

// Registers at most MAX_POLLERS - 1 sockets; they must outlive the poller.
class MSGQPoller : public Poller {
 public:
  void registerSocket(SubSocket *socket) override;
  std::vector<SubSocket *> poll(int timeout) override;
  ~MSGQPoller() override {}

 private:
  std::vector<SubSocket *> sockets;
  msgq_pollitem_t polls[MAX_POLLERS] = {};
  size_t num_polls = 0;
};
