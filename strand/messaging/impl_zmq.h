#pragma once

// The messaging interfaces over ZeroMQ publish/subscribe on TCP, so that topics can cross
// machines. Every topic has a fixed port from the service table: a publisher binds it on all
// interfaces, a subscriber connects to the publisher's host.

#include <zmq.h>

#include <string>
#include <vector>

#include "strand/messaging/messaging.h"

// One ZeroMQ context per object; it must outlive every socket connected with it.
class ZMQContext : public Context {
 public:
  ZMQContext();
  ~ZMQContext() override;
  ZMQContext(const ZMQContext &) = delete;
  ZMQContext &operator=(const ZMQContext &) = delete;

  void *getRawContext() override { return context; }

 private:
  void *context = nullptr;
};

// An owned heap copy of one message payload.
class ZMQMessage : public Message {
 public:
  ZMQMessage() = default;
  ~ZMQMessage() override;
  ZMQMessage(const ZMQMessage &) = delete;
  ZMQMessage &operator=(const ZMQMessage &) = delete;

  void init(size_t size) override;
  void init(char *data, size_t size) override;
  void close() override;
  size_t getSize() override { return size; }
  char *getData() override { return data; }

 private:
  char *data = nullptr;
  size_t size = 0;
};

class ZMQSubSocket : public SubSocket {
 public:
  ZMQSubSocket() = default;
  ~ZMQSubSocket() override;
  ZMQSubSocket(const ZMQSubSocket &) = delete;
  ZMQSubSocket &operator=(const ZMQSubSocket &) = delete;

  // Connects to "tcp://<address>:<port>", the port being the topic's from the service table
  // (std::out_of_range for an unknown topic) or, without check_endpoint, `endpoint` itself.
  int connect(Context *context, std::string endpoint, std::string address, bool conflate = false,
              bool check_endpoint = true) override;
  void setTimeout(int timeout) override;
  Message *receive(bool non_blocking = false) override;
  void *getRawSocket() override { return sock; }

 private:
  void *sock = nullptr;
  std::string full_endpoint;
};

// Bound by one process: a child that inherited the object must not publish through it.
class ZMQPubSocket : public PubSocket {
 public:
  ZMQPubSocket() = default;
  ~ZMQPubSocket() override;
  ZMQPubSocket(const ZMQPubSocket &) = delete;
  ZMQPubSocket &operator=(const ZMQPubSocket &) = delete;

  // Binds "tcp://*:<port>" (same port rule as the subscriber).
  int connect(Context *context, std::string endpoint, bool check_endpoint = true) override;
  // Never wait: the result of zmq_send, the size or -1.
  int sendMessage(Message *message) override;
  int send(char *data, size_t size) override;
  // ZeroMQ cannot tell whether subscribers have read: asking stops the process.
  bool all_readers_updated() override;

 private:
  void *sock = nullptr;
  std::string full_endpoint;
  int pid = -1;
};

class ZMQPoller : public Poller {
 public:
  ZMQPoller() = default;
  // At most MAX_POLLERS - 1 sockets; one more stops the process.
  void registerSocket(SubSocket *socket) override;
  std::vector<SubSocket *> poll(int timeout) override;

 private:
  std::vector<SubSocket *> sockets;
  zmq_pollitem_t polls[MAX_POLLERS] = {};
  size_t num_polls = 0;
};
