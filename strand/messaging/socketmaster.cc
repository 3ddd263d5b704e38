#include "strand/messaging/socketmaster.h"

#include <kj/exception.h>

#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <new>

#include "common/fatal_check.h"
#include "common/timing.h"
#include "strand/services/services.h"

const bool SIMULATION = [] {
  const char *sim = getenv("SIMULATION");
  return sim != nullptr && strcmp(sim, "1") == 0;
}();

MessageContext message_context;

namespace {

// Room for one flat-array reader, rebuilt in place for every message so that decoding
// allocates nothing.
constexpr size_t READER_STORAGE_BYTES = 256;
static_assert(sizeof(capnp::FlatArrayMessageReader) <= READER_STORAGE_BYTES,
              "a topic's reader must fit its fixed storage");

bool in_list(const std::vector<const char *> &list, const char *name) {
  for (const char *entry : list) {
    if (strcmp(entry, name) == 0) return true;
  }
  return false;
}

// The text of a decoding error, for the caller that wants to say which topic failed and why.
std::string describe_exception(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const kj::Exception &e) {
    return e.getDescription().cStr();
  } catch (const std::exception &e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

}  // namespace

struct SubMaster::SubMessage {
  std::string name;
  SubSocket *socket = nullptr;
  int freq = 0;
  bool updated = false;
  bool alive = false;
  bool valid = true;
  bool ignore_alive = false;
  uint64_t rcv_time = 0;
  uint64_t rcv_frame = 0;
  void *allocated_msg_reader = nullptr;
  bool is_polled = false;
  capnp::FlatArrayMessageReader *msg_reader = nullptr;
  AlignedBuffer aligned_buf;
  strand::Event::Reader event;
  std::string decode_error;  // of the last update's message; empty when it decoded or none came
};

SubMaster::SubMaster(const std::vector<const char *> &service_list, const std::vector<const char *> &poll,
                     const char *address, const std::vector<const char *> &ignore_alive) {
  poller_ = Poller::create();
  for (const char *name : service_list) {
    FATAL_CHECK(services.count(std::string(name)) > 0);
    service serv = services.at(std::string(name));

    SubSocket *socket =
        SubSocket::create(message_context.context(), name, address ? address : "127.0.0.1", true, true);
    FATAL_CHECK(socket != 0);
    bool is_polled = poll.empty() || in_list(poll, name);
    if (is_polled) poller_->registerSocket(socket);

    SubMessage *m = new SubMessage();
    m->name = name;
    m->socket = socket;
    m->freq = serv.frequency;
    m->ignore_alive = in_list(ignore_alive, name);
    m->is_polled = is_polled;
    m->allocated_msg_reader = malloc(READER_STORAGE_BYTES);
    FATAL_CHECK(m->allocated_msg_reader != nullptr);
    // The first reader sees no message and keeps the library's default options.
    m->msg_reader =
        new (m->allocated_msg_reader) capnp::FlatArrayMessageReader(kj::ArrayPtr<const capnp::word>());
    messages_[socket] = m;
    services_[name] = m;
  }
}

void SubMaster::update(int timeout) {
  for (auto &kv : messages_) {
    kv.second->updated = false;
    kv.second->decode_error.clear();
  }

  std::vector<SubSocket *> sockets = poller_->poll(timeout);
  // Topics outside the poll list are read every time, though they never end the wait.
  for (auto &kv : messages_) {
    if (!kv.second->is_polled) sockets.push_back(kv.first);
  }

  uint64_t current_time = nanos_since_boot();

  arrived_.clear();
  std::exception_ptr decode_error;
  for (SubSocket *s : sockets) {
    Message *msg = s->receive(true);
    if (msg == nullptr) continue;

    SubMessage *m = messages_.at(s);
    try {
      arrived_.push_back({m, decode(m, msg)});
    } catch (...) {
      // The topic's old reader and buffer are gone: leave it with an empty event, and
      // finish the bookkeeping of the topics that did decode before reporting the error,
      // so that no topic keeps a reader into a destroyed message.
      if (!decode_error) decode_error = std::current_exception();
      m->decode_error = describe_exception(std::current_exception());
    }
  }

  update_records(current_time, arrived_);
  if (decode_error) std::rethrow_exception(decode_error);
}

strand::Event::Reader SubMaster::decode(SubMessage *m, Message *msg) {
  std::unique_ptr<Message> owned(msg);
  m->msg_reader->~FlatArrayMessageReader();
  bool constructed = false;
  try {
    kj::ArrayPtr<const capnp::word> words = m->aligned_buf.align(msg);
    owned.reset();  // the words are a copy
    m->msg_reader =
        new (m->allocated_msg_reader) capnp::FlatArrayMessageReader(words, event_reader_options());
    constructed = true;
    return m->msg_reader->getRoot<strand::Event>();
  } catch (...) {
    // A malformed payload: put an empty reader back so the record stays usable.
    if (constructed) m->msg_reader->~FlatArrayMessageReader();
    m->msg_reader =
        new (m->allocated_msg_reader) capnp::FlatArrayMessageReader(kj::ArrayPtr<const capnp::word>());
    m->event = strand::Event::Reader();
    throw;
  }
}

void SubMaster::update_msgs(uint64_t current_time,
                            const std::vector<std::pair<std::string, strand::Event::Reader>> &messages) {
  std::vector<std::pair<SubMessage *, strand::Event::Reader>> records;
  for (auto &kv : messages) {
    auto it = services_.find(kv.first);
    if (it != services_.end()) records.push_back({it->second, kv.second});
  }
  update_records(current_time, records);
}

void SubMaster::update_records(uint64_t current_time,
                               const std::vector<std::pair<SubMessage *, strand::Event::Reader>> &records) {
  // 0 means "never updated" and 2^64 - 1 is kept free, so the counter wraps to 1.
  if (++frame == UINT64_MAX) frame = 1;

  for (auto &kv : records) {
    SubMessage *m = kv.first;
    m->event = kv.second;
    m->updated = true;
    m->rcv_time = current_time;
    m->rcv_frame = frame;
    m->valid = kv.second.getValid();
    if (SIMULATION) m->alive = true;
  }

  if (SIMULATION) return;
  // Alive while the last message is younger than ten nominal periods.
  for (auto &kv : messages_) {
    SubMessage *m = kv.second;
    if (m->freq < 1) {
      m->alive = true;
    } else {
      m->alive = (double)(current_time - m->rcv_time) * 1e-9 < 10.0 / m->freq;
    }
  }
}

bool SubMaster::all_(const std::vector<const char *> &service_list, bool valid, bool alive) {
  size_t count = 0;
  for (auto &kv : messages_) {
    SubMessage *m = kv.second;
    if (!service_list.empty() && !in_list(service_list, m->name.c_str())) continue;
    if ((!valid || m->valid) && (!alive || m->alive || m->ignore_alive)) count++;
  }
  return service_list.empty() ? count == messages_.size() : count == service_list.size();
}

bool SubMaster::allAlive(const std::vector<const char *> &service_list) {
  return all_(service_list, false, true);
}
bool SubMaster::allValid(const std::vector<const char *> &service_list) {
  return all_(service_list, true, false);
}
bool SubMaster::allAliveAndValid(const std::vector<const char *> &service_list) {
  return all_(service_list, true, true);
}

void SubMaster::drain() {
  while (true) {
    std::vector<SubSocket *> sockets = poller_->poll(0);
    if (sockets.empty()) break;
    for (SubSocket *s : sockets) {
      delete s->receive(true);
    }
  }
}

bool SubMaster::updated(const char *name) const {
  return services_.at(name)->updated;
}
bool SubMaster::alive(const char *name) const {
  return services_.at(name)->alive;
}
bool SubMaster::valid(const char *name) const {
  return services_.at(name)->valid;
}
uint64_t SubMaster::rcv_frame(const char *name) const {
  return services_.at(name)->rcv_frame;
}
uint64_t SubMaster::rcv_time(const char *name) const {
  return services_.at(name)->rcv_time;
}
const std::string &SubMaster::decode_error(const char *name) const {
  return services_.at(name)->decode_error;
}
strand::Event::Reader &SubMaster::operator[](const char *name) const {
  return services_.at(name)->event;
}

SubMaster::~SubMaster() {
  delete poller_;
  for (auto &kv : messages_) {
    SubMessage *m = kv.second;
    m->msg_reader->~FlatArrayMessageReader();
    free(m->allocated_msg_reader);
    delete m->socket;
    delete m;
  }
}

PubMaster::PubMaster(const std::vector<const char *> &service_list) {
  for (const char *name : service_list) {
    FATAL_CHECK(services.count(name) > 0);
    PubSocket *socket = PubSocket::create(message_context.context(), name, true);
    FATAL_CHECK(socket);
    sockets_[name] = socket;
  }
}

int PubMaster::send(const char *name, capnp::byte *data, size_t size) {
  return sockets_.at(name)->send((char *)data, size);
}

int PubMaster::send(const char *name, MessageBuilder &msg) {
  kj::ArrayPtr<capnp::byte> bytes = msg.toBytes();
  return send(name, bytes.begin(), bytes.size());
}

PubMaster::~PubMaster() {
  for (auto &kv : sockets_) delete kv.second;
}
