// The system's shared-memory queue through the messaging factories, exactly as a program uses
// it: a blocking receive that sleeps in the queue's poll until the publisher wakes it.

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "bench/messaging/bench_transport.h"
#include "strand/messaging/messaging.h"

namespace bench {
namespace {

class MsgqSender : public Sender {
 public:
  MsgqSender(Context *ctx, const std::string &topic) : pub_(PubSocket::create(ctx, topic, false)) {}
  bool ok() const { return pub_ != nullptr; }
  bool send(const char *data, size_t size) override { return pub_->send(const_cast<char *>(data), size) >= 0; }

 private:
  std::unique_ptr<PubSocket> pub_;
};

class MsgqReceiver : public Receiver {
 public:
  MsgqReceiver(Context *ctx, const std::string &topic)
      : sub_(SubSocket::create(ctx, topic, "127.0.0.1", false, false)) {}
  bool ok() const { return sub_ != nullptr; }
  long receive(Stamp *stamp, int timeout_ms) override {
    if (timeout_ms != timeout_ms_) {
      sub_->setTimeout(timeout_ms);
      timeout_ms_ = timeout_ms;
    }
    std::unique_ptr<Message> m(sub_->receive(false));
    if (!m || m->getSize() < sizeof(Stamp)) return -1;
    memcpy(stamp, m->getData(), sizeof(Stamp));
    return long(m->getSize());
  }

 private:
  std::unique_ptr<SubSocket> sub_;
  int timeout_ms_ = -2;
};

class MsgqTransport : public Transport {
 public:
  explicit MsgqTransport(const std::string &run_id) : prefix_("messaging_bench_" + run_id) {
    std::filesystem::create_directories("/dev/shm/" + prefix_);
  }
  ~MsgqTransport() override {
    std::error_code ec;
    std::filesystem::remove_all("/dev/shm/" + prefix_, ec);
  }
  const char *name() const override { return "msgq"; }
  const char *receive_note() const override { return "receive copies the payload into a Message"; }
  bool start_process(const std::string &) override {
    unsetenv("ZMQ");
    setenv("TAVRIN_PREFIX", prefix_.c_str(), 1);
    ctx_.reset(Context::create());
    return ctx_ != nullptr;
  }
  std::unique_ptr<Sender> sender(const std::string &topic) override {
    auto s = std::make_unique<MsgqSender>(ctx_.get(), topic);
    return s->ok() ? std::move(s) : nullptr;
  }
  std::unique_ptr<Receiver> receiver(const std::string &topic) override {
    auto r = std::make_unique<MsgqReceiver>(ctx_.get(), topic);
    return r->ok() ? std::move(r) : nullptr;
  }

 private:
  std::string prefix_;
  std::unique_ptr<Context> ctx_;
};

}  // namespace

std::unique_ptr<Transport> make_msgq_transport(const std::string &run_id) {
  return std::make_unique<MsgqTransport>(run_id);
}

}  // namespace bench
