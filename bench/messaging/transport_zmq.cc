// ZeroMQ publish/subscribe over its ipc transport (a Unix socket): the ZMQ backend's socket
// options, send flags and receive copy, with only the transport changed to the same-machine one.

#include <unistd.h>
#include <zmq.h>

#include <cstring>

#include "bench/messaging/bench_transport.h"

namespace bench {
namespace {

class ZmqSender : public Sender {
 public:
  ZmqSender(void *ctx, const std::string &endpoint) : sock_(zmq_socket(ctx, ZMQ_PUB)) {
    if (sock_ && zmq_bind(sock_, endpoint.c_str()) != 0) {
      zmq_close(sock_);
      sock_ = nullptr;
    }
  }
  ~ZmqSender() override {
    if (sock_) zmq_close(sock_);
  }
  bool ok() const { return sock_ != nullptr; }
  // ZeroMQ drops what exceeds its queue without telling: the receiver counts the loss.
  bool send(const char *data, size_t size) override { return zmq_send(sock_, data, size, ZMQ_DONTWAIT) >= 0 || errno == EAGAIN; }

 private:
  void *sock_;
};

class ZmqReceiver : public Receiver {
 public:
  ZmqReceiver(void *ctx, const std::string &endpoint) : sock_(zmq_socket(ctx, ZMQ_SUB)) {
    if (!sock_) return;
    zmq_setsockopt(sock_, ZMQ_SUBSCRIBE, "", 0);
    int reconnect_ivl = 500;
    zmq_setsockopt(sock_, ZMQ_RECONNECT_IVL_MAX, &reconnect_ivl, sizeof(reconnect_ivl));
    if (zmq_connect(sock_, endpoint.c_str()) != 0) {
      zmq_close(sock_);
      sock_ = nullptr;
    }
  }
  ~ZmqReceiver() override {
    if (sock_) zmq_close(sock_);
  }
  bool ok() const { return sock_ != nullptr; }
  long receive(Stamp *stamp, int timeout_ms) override {
    zmq_setsockopt(sock_, ZMQ_RCVTIMEO, &timeout_ms, sizeof(timeout_ms));
    zmq_msg_t msg;
    zmq_msg_init(&msg);
    long size = -1;
    if (zmq_msg_recv(&msg, sock_, 0) >= 0 && zmq_msg_size(&msg) >= sizeof(Stamp)) {
      // The backend's receive hands out an owned copy, as here.
      size = long(zmq_msg_size(&msg));
      std::unique_ptr<char[]> copy(new char[size]);
      memcpy(copy.get(), zmq_msg_data(&msg), size);
      memcpy(stamp, copy.get(), sizeof(Stamp));
    }
    zmq_msg_close(&msg);
    return size;
  }

 private:
  void *sock_;
};

class ZmqTransport : public Transport {
 public:
  explicit ZmqTransport(const std::string &run_id) : base_("/tmp/messaging_bench_" + run_id + "_") {}
  ~ZmqTransport() override {
    for (const char *topic : {"ping", "pong"}) unlink((base_ + topic).c_str());
  }
  const char *name() const override { return "zmq-ipc"; }
  const char *receive_note() const override { return "receive copies the payload out of the ZeroMQ message"; }
  bool start_process(const std::string &) override {
    ctx_ = zmq_ctx_new();
    int no = 0;
    if (ctx_) zmq_ctx_set(ctx_, ZMQ_BLOCKY, no);  // never wait at the end for undelivered messages
    return ctx_ != nullptr;
  }
  std::unique_ptr<Sender> sender(const std::string &topic) override {
    auto s = std::make_unique<ZmqSender>(ctx_, "ipc://" + base_ + topic);
    return s->ok() ? std::move(s) : nullptr;
  }
  std::unique_ptr<Receiver> receiver(const std::string &topic) override {
    auto r = std::make_unique<ZmqReceiver>(ctx_, "ipc://" + base_ + topic);
    return r->ok() ? std::move(r) : nullptr;
  }

 private:
  std::string base_;
  void *ctx_ = nullptr;  // left to the process's end: sockets made from it live until then
};

}  // namespace

std::unique_ptr<Transport> make_zmq_transport(const std::string &run_id) {
  return std::make_unique<ZmqTransport>(run_id);
}

}  // namespace bench
