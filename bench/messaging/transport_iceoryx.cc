// iceoryx as a reference: an untyped publisher that copies each payload into a loaned chunk,
// and a subscriber that sleeps in a WaitSet and either reads the stamp in place (no copy, the
// way iceoryx is meant to be used) or copies the whole payload into a buffer of its own, as a
// msgq receive does into its Message. The publisher waits for a full subscriber queue instead
// of dropping, so nothing is lost. The benchmark starts one daemon (iox-roudi) with the memory
// pools of roudi.toml for both.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "bench/messaging/bench_transport.h"
#include "iceoryx_hoofs/log/logmanager.hpp"
#include "iceoryx_posh/popo/untyped_publisher.hpp"
#include "iceoryx_posh/popo/untyped_subscriber.hpp"
#include "iceoryx_posh/popo/wait_set.hpp"
#include "iceoryx_posh/runtime/posh_runtime.hpp"

extern char **environ;

namespace bench {
namespace {

// Subscriber queue: iceoryx's largest for small messages; a few chunks for large ones, so that
// the pools of roudi.toml suffice.
uint64_t queue_capacity_for(size_t size) { return size <= 8192 ? 256 : 8; }

// Names are passed with their length: given a bare literal, the string's constructor makes GCC
// warn about a copy of its whole capacity on a path that a short name never takes.
iox::capro::IdString_t id_string(const std::string &name) {
  return iox::capro::IdString_t(iox::cxx::TruncateToCapacity, name.c_str(), name.size());
}

iox::capro::ServiceDescription service(const std::string &topic) {
  return {id_string("roadrec"), id_string("bench"), id_string(topic)};
}

class IceoryxSender : public Sender {
 public:
  explicit IceoryxSender(const std::string &topic) : pub_(service(topic), options()) {}
  bool send(const char *data, size_t size) override {
    bool sent = false;
    pub_.loan(uint32_t(size)).and_then([&](void *chunk) {
      memcpy(chunk, data, size);
      pub_.publish(chunk);
      sent = true;
    });
    return sent;
  }

 private:
  static iox::popo::PublisherOptions options() {
    iox::popo::PublisherOptions o;
    o.historyCapacity = 0;
    o.subscriberTooSlowPolicy = iox::popo::ConsumerTooSlowPolicy::WAIT_FOR_CONSUMER;
    return o;
  }
  iox::popo::UntypedPublisher pub_;
};

class IceoryxReceiver : public Receiver {
 public:
  IceoryxReceiver(const std::string &topic, size_t size, bool copy) : sub_(service(topic), options(size)), copy_(copy) {
    waitset_.attachState(sub_, iox::popo::SubscriberState::HAS_DATA).or_else([&](auto) { attached_ = false; });
  }
  bool ok() const { return attached_; }
  long receive(Stamp *stamp, int timeout_ms) override {
    if (take(stamp)) return size_;
    waitset_.timedWait(iox::units::Duration::fromMilliseconds(timeout_ms));
    return take(stamp) ? size_ : -1;
  }

 private:
  static iox::popo::SubscriberOptions options(size_t size) {
    iox::popo::SubscriberOptions o;
    o.queueCapacity = queue_capacity_for(size);
    o.queueFullPolicy = iox::popo::QueueFullPolicy::BLOCK_PRODUCER;
    return o;
  }
  bool take(Stamp *stamp) {
    bool got = false;
    sub_.take().and_then([&](const void *payload) {
      size_ = long(iox::mepoo::ChunkHeader::fromUserPayload(payload)->userPayloadSize());
      if (copy_) {
        // An owned copy made per message, like a msgq Message, read only once the chunk is back.
        std::unique_ptr<char[]> own(new char[size_t(size_)]);
        memcpy(own.get(), payload, size_t(size_));
        sub_.release(payload);
        memcpy(stamp, own.get(), sizeof(Stamp));
      } else {
        memcpy(stamp, payload, sizeof(Stamp));
        sub_.release(payload);
      }
      got = true;
    });
    return got;
  }
  iox::popo::UntypedSubscriber sub_;
  iox::popo::WaitSet<> waitset_;
  const bool copy_;
  bool attached_ = true;
  long size_ = -1;
};

// The daemon, stopped by the process that started it once no transport uses it.
class Daemon {
 public:
  explicit Daemon(pid_t pid) : pid_(pid) {}
  ~Daemon() {
    if (pid_ <= 0 || getpid() != parent_) return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 500 && waitpid(pid_, nullptr, WNOHANG) == 0; i++) usleep(10000);
    if (waitpid(pid_, nullptr, WNOHANG) == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  Daemon(const Daemon &) = delete;
  Daemon &operator=(const Daemon &) = delete;

 private:
  pid_t pid_;
  pid_t parent_ = getpid();
};

class IceoryxTransport : public Transport {
 public:
  IceoryxTransport(std::shared_ptr<Daemon> daemon, bool copy) : daemon_(std::move(daemon)), copy_(copy) {}
  const char *name() const override { return copy_ ? "iceoryx-copy" : "iceoryx"; }
  const char *receive_note() const override {
    return copy_ ? "WaitSet; the payload is copied into a buffer made per message" : "WaitSet; the stamp is read in place, no copy";
  }
  bool start_process(const std::string &process_name) override {
    iox::log::LogManager::GetLogManager().SetDefaultLogLevel(iox::log::LogLevel::kWarn, iox::log::LogLevelOutput::kHideLogLevel);
    iox::runtime::PoshRuntime::initRuntime(iox::RuntimeName_t(iox::cxx::TruncateToCapacity, process_name.c_str()));
    return true;
  }
  std::unique_ptr<Sender> sender(const std::string &topic) override { return std::make_unique<IceoryxSender>(topic); }
  std::unique_ptr<Receiver> receiver(const std::string &topic) override {
    // The payload size travels in the topic name's last field, "<name>:<size>".
    size_t size = std::stoul(topic.substr(topic.rfind(':') + 1));
    auto r = std::make_unique<IceoryxReceiver>(topic, size, copy_);
    return r->ok() ? std::move(r) : nullptr;
  }

 private:
  std::shared_ptr<Daemon> daemon_;
  const bool copy_;
};

// Starts iox-roudi with `config`, its output in `log`, and waits (bounded) until it says it is
// ready.
pid_t start_daemon(const std::string &config, const std::string &log, std::string *why) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&fa, STDOUT_FILENO, STDERR_FILENO);
  std::string cfg = config;
  char *argv[] = {const_cast<char *>("iox-roudi"), const_cast<char *>("-c"), cfg.data(),
                  const_cast<char *>("-l"), const_cast<char *>("info"), nullptr};
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, "iox-roudi", &fa, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) {
    *why = "iox-roudi could not be started (is the iceoryx package installed?)";
    return -1;
  }
  const char *ready = "RouDi is ready for clients";
  std::string seen;
  for (int i = 0; i < 1000 && seen.find(ready) == std::string::npos; i++) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) {
      pid = -1;
      break;
    }
    usleep(10000);
    std::ifstream f(log);
    seen.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }
  if (seen.find(ready) == std::string::npos) {
    *why = "iox-roudi did not start: " + seen.substr(0, 300);
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    return -1;
  }
  return pid;
}

}  // namespace

std::vector<std::unique_ptr<Transport>> make_iceoryx_transports(const std::string &run_id, const std::string &config,
                                                                std::string *why) {
  std::string log = "/tmp/messaging_bench_" + run_id + "_roudi.log";
  pid_t pid = start_daemon(config, log, why);
  unlink(log.c_str());  // the daemon keeps writing to the open file; nobody reads it later
  std::vector<std::unique_ptr<Transport>> transports;
  if (pid < 0) return transports;
  auto daemon = std::make_shared<Daemon>(pid);
  transports.push_back(std::make_unique<IceoryxTransport>(daemon, false));
  transports.push_back(std::make_unique<IceoryxTransport>(daemon, true));
  return transports;
}

}  // namespace bench
