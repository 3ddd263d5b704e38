#pragma once

// The messaging interfaces. Processes publish and subscribe to topics through these five
// abstract classes and never name a transport: the factories below pick the backend from
// the environment (shared-memory queues by default, ZeroMQ when ZMQ is set, lock-step fake
// events for subscribers and pollers when STRAND_FAKE is set).
//
// Ownership: every factory returns a heap object that the caller owns and deletes through
// the virtual destructor. A Message returned by receive() belongs to the caller. A Poller
// only points at the sockets registered with it: they must outlive it. A Context must
// outlive the sockets connected with it.

#include <cstddef>
#include <string>
#include <vector>

// Poll items of one backend poller; one is never used, so a poller takes 127 sockets at most.
#define MAX_POLLERS 128

// True when the ZMQ environment variable is set (any value). Together with TAVRIN_PREFIX the
// process ends with a one-line explanation on stderr and status 1: the prefix has no meaning
// for TCP ports.
bool messaging_use_zmq();
// True when STRAND_FAKE is set (any value).
bool messaging_use_fake();

class Context {
 public:
  virtual void *getRawContext() = 0;
  static Context *create();
  virtual ~Context() {}
};

class Message {
 public:
  virtual void init(size_t size) = 0;
  virtual void init(char *data, size_t size) = 0;
  virtual void close() = 0;
  virtual size_t getSize() = 0;
  virtual char *getData() = 0;
  virtual ~Message() {}
};

class SubSocket {
 public:
  // endpoint: a service name when check_endpoint is true, else a caller-made endpoint used
  // unchanged. address: the publisher's host ("127.0.0.1" for the shared-memory backend).
  // Returns 0 on success, else non-zero with errno describing the failure.
  virtual int connect(Context *context, std::string endpoint, std::string address, bool conflate = false,
                      bool check_endpoint = true) = 0;
  // Longest wait of a blocking receive, in milliseconds; -1 waits without limit.
  virtual void setTimeout(int timeout) = 0;
  // The next message, or null when none arrived.
  virtual Message *receive(bool non_blocking = false) = 0;
  virtual void *getRawSocket() = 0;

  static SubSocket *create();
  // Creates and connects; on failure prints the reason on stderr and returns null.
  static SubSocket *create(Context *context, std::string endpoint, std::string address = "127.0.0.1",
                           bool conflate = false, bool check_endpoint = true);
  virtual ~SubSocket() {}
};

class PubSocket {
 public:
  virtual int connect(Context *context, std::string endpoint, bool check_endpoint = true) = 0;
  // Publish one message: the number of bytes sent, or -1.
  virtual int sendMessage(Message *message) = 0;
  virtual int send(char *data, size_t size) = 0;
  virtual bool all_readers_updated() = 0;

  static PubSocket *create();
  // Creates and binds; on failure prints the reason on stderr and returns null.
  static PubSocket *create(Context *context, std::string endpoint, bool check_endpoint = true);
  virtual ~PubSocket() {}
};

class Poller {
 public:
  virtual void registerSocket(SubSocket *socket) = 0;
  // Waits at most timeout milliseconds; the registered sockets that have a message, in
  // registration order.
  virtual std::vector<SubSocket *> poll(int timeout) = 0;

  static Poller *create();
  static Poller *create(std::vector<SubSocket *> sockets);
  virtual ~Poller() {}
};
