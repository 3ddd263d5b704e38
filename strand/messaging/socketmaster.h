#pragma once

// SubMaster polls several topics together and keeps, per topic, the newest Event and its
// bookkeeping (updated, alive, valid, when it came). PubMaster publishes by topic name.
// Both refuse, with a fatal assertion, topics that are not in the service table; their
// accessors throw std::out_of_range for a topic they were not built with.
//
// Neither class locks: each object belongs to one thread.

#include <capnp/serialize.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "strand/gen/cpp/log.capnp.h"
#include "strand/messaging/message_buffer.h"
#include "strand/messaging/message_context.h"
#include "strand/messaging/messaging.h"

// True when the environment variable SIMULATION was "1" at start-up: topics then count as
// alive from their first message on, whatever the clock says.
extern const bool SIMULATION;

class SubMaster {
 public:
  // service_list: topics to subscribe to. poll: the topics whose arrival ends the wait of
  // update() (empty: all); the others are read on every update but never wake it.
  // address: publisher host for the network backend (null: "127.0.0.1"). ignore_alive:
  // topics that count as alive in allAlive()/allAliveAndValid() whatever their state.
  SubMaster(const std::vector<const char *> &service_list, const std::vector<const char *> &poll = {},
            const char *address = nullptr, const std::vector<const char *> &ignore_alive = {});
  ~SubMaster();
  SubMaster(const SubMaster &) = delete;
  SubMaster &operator=(const SubMaster &) = delete;

  // Waits up to timeout ms (0: not at all) and takes in the newest message of every topic
  // that has one. Readers obtained before a topic's next message must not be used after it.
  void update(int timeout);
  // The bookkeeping step of update(): also usable with events decoded by the caller and a
  // time of the caller's choosing (boot-clock nanoseconds).
  void update_msgs(uint64_t current_time,
                   const std::vector<std::pair<std::string, strand::Event::Reader>> &messages);

  // Empty list: every subscribed topic. A list naming an unsubscribed topic, or one topic
  // twice, is never satisfied.
  bool allAlive(const std::vector<const char *> &service_list = {});
  bool allValid(const std::vector<const char *> &service_list = {});
  bool allAliveAndValid(const std::vector<const char *> &service_list = {});
  // Discards whatever waits on the polled sockets, without touching the bookkeeping.
  void drain();

  bool updated(const char *name) const;
  bool alive(const char *name) const;
  bool valid(const char *name) const;
  uint64_t rcv_frame(const char *name) const;
  uint64_t rcv_time(const char *name) const;
  // Why the message this topic received in the last update() could not be decoded (update()
  // then throws the first such error after finishing every topic); empty when it decoded or
  // when none came. Such a topic reads as an empty event until a readable message arrives.
  const std::string &decode_error(const char *name) const;
  // The topic's last Event; an empty reader (every field at its default) before the first.
  strand::Event::Reader &operator[](const char *name) const;

  // Update counter: 0 after construction, then 1, 2, ...; never 0 or 2^64 - 1 again.
  uint64_t frame = 0;

 private:
  struct SubMessage;

  bool all_(const std::vector<const char *> &service_list, bool valid, bool alive);
  // Rebuilds the topic's reader in place over a copy of msg (deleted here) and returns the
  // root. A malformed payload throws and leaves the topic with an empty event.
  strand::Event::Reader decode(SubMessage *m, Message *msg);
  // The bookkeeping of update_msgs() on records already looked up.
  void update_records(uint64_t current_time,
                      const std::vector<std::pair<SubMessage *, strand::Event::Reader>> &records);

  Poller *poller_ = nullptr;
  std::map<SubSocket *, SubMessage *> messages_;  // owns the records
  std::map<std::string, SubMessage *> services_;  // same records, by name
  // The messages of one update; kept between updates so that its storage is reused.
  std::vector<std::pair<SubMessage *, strand::Event::Reader>> arrived_;
};

class PubMaster {
 public:
  explicit PubMaster(const std::vector<const char *> &service_list);
  ~PubMaster();
  PubMaster(const PubMaster &) = delete;
  PubMaster &operator=(const PubMaster &) = delete;

  // What the topic's socket returns: the bytes sent, or -1.
  int send(const char *name, capnp::byte *data, size_t size);
  int send(const char *name, MessageBuilder &msg);

 private:
  std::map<std::string, PubSocket *> sockets_;
};
