#pragma once

// What the messaging benchmark needs of a transport: a sender and a receiver on a named topic,
// made in the process that uses them. Each transport measured (the system's msgq through its
// factories, ZeroMQ over ipc, iceoryx) implements it in a file of its own.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace bench {

// The first bytes of every message: what it is and when it left.
struct Stamp {
  uint64_t kind;
  uint64_t seq;
  uint64_t sent_ns;
};
// PROBE: counted by the receiver; ECHO: a probe the receiver answers on the second topic.
enum : uint64_t { PROBE = 1, DATA = 2, STOP = 3, ECHO = 4 };

class Sender {
 public:
  virtual ~Sender() = default;
  // Publishes `size` bytes (at least sizeof(Stamp)); false when the transport refused them.
  virtual bool send(const char *data, size_t size) = 0;
};

class Receiver {
 public:
  virtual ~Receiver() = default;
  // Waits at most `timeout_ms` for the next message and copies its stamp out: the payload
  // size, or -1 when nothing came.
  virtual long receive(Stamp *stamp, int timeout_ms) = 0;
};

class Transport {
 public:
  virtual ~Transport() = default;
  virtual const char *name() const = 0;
  // Once in every process that uses the transport, before its first sender or receiver.
  virtual bool start_process(const std::string &process_name) = 0;
  virtual std::unique_ptr<Sender> sender(const std::string &topic) = 0;
  virtual std::unique_ptr<Receiver> receiver(const std::string &topic) = 0;
  // What a receiver does with a message beyond its stamp, for the table's heading.
  virtual const char *receive_note() const = 0;
};

// `run_id` keeps the names (queue directory, socket paths) of concurrent runs apart.
std::unique_ptr<Transport> make_msgq_transport(const std::string &run_id);
std::unique_ptr<Transport> make_zmq_transport(const std::string &run_id);
// iceoryx reading in place, then iceoryx copying each payload out (one daemon for both). None
// when no daemon could be started; `why` then says what went wrong.
std::vector<std::unique_ptr<Transport>> make_iceoryx_transports(const std::string &run_id, const std::string &config,
                                                                std::string *why);

}  // namespace bench
