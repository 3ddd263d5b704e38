#include "strand/messaging/impl_zmq.h"

#include <cstring>
#include <unistd.h>

#include "common/fatal_check.h"
#include "strand/services/services.h"

namespace {

std::string port_of(const std::string &endpoint, bool check_endpoint) {
  return check_endpoint ? std::to_string(get_port(endpoint)) : endpoint;
}

}  // namespace

ZMQContext::ZMQContext() { context = zmq_ctx_new(); }

ZMQContext::~ZMQContext() { zmq_ctx_term(context); }

ZMQMessage::~ZMQMessage() { close(); }

void ZMQMessage::init(size_t sz) {
  close();
  size = sz;
  data = new char[size];
}

void ZMQMessage::init(char *d, size_t sz) {
  init(sz);
  memcpy(data, d, sz);
}

void ZMQMessage::close() {
  // An empty payload (ZeroMQ delivers those) still holds a zero-length array to free.
  delete[] data;
  data = nullptr;
  size = 0;
}

int ZMQSubSocket::connect(Context *context, std::string endpoint, std::string address, bool conflate,
                          bool check_endpoint) {
  sock = zmq_socket(context->getRawContext(), ZMQ_SUB);
  if (sock == nullptr) {
    return -1;
  }

  zmq_setsockopt(sock, ZMQ_SUBSCRIBE, "", 0);
  if (conflate) {
    int arg = 1;
    zmq_setsockopt(sock, ZMQ_CONFLATE, &arg, sizeof(arg));
  }
  int reconnect_ivl = 500;
  zmq_setsockopt(sock, ZMQ_RECONNECT_IVL_MAX, &reconnect_ivl, sizeof(reconnect_ivl));

  full_endpoint = "tcp://" + address + ":" + port_of(endpoint, check_endpoint);
  return zmq_connect(sock, full_endpoint.c_str());
}

void ZMQSubSocket::setTimeout(int timeout) { zmq_setsockopt(sock, ZMQ_RCVTIMEO, &timeout, sizeof(timeout)); }

Message *ZMQSubSocket::receive(bool non_blocking) {
  zmq_msg_t msg;
  FATAL_CHECK(zmq_msg_init(&msg) == 0);

  ZMQMessage *result = nullptr;
  int rc = zmq_msg_recv(&msg, sock, non_blocking ? ZMQ_DONTWAIT : 0);
  if (rc >= 0) {
    result = new ZMQMessage;
    result->init(static_cast<char *>(zmq_msg_data(&msg)), zmq_msg_size(&msg));
  }

  // Closing never fails on an initialised message; keep the receive's errno for the caller.
  int saved_errno = errno;
  zmq_msg_close(&msg);
  errno = saved_errno;
  return result;
}

ZMQSubSocket::~ZMQSubSocket() {
  if (sock) zmq_close(sock);
}

int ZMQPubSocket::connect(Context *context, std::string endpoint, bool check_endpoint) {
  sock = zmq_socket(context->getRawContext(), ZMQ_PUB);
  if (sock == nullptr) {
    return -1;
  }

  full_endpoint = "tcp://*:" + port_of(endpoint, check_endpoint);
  pid = getpid();
  return zmq_bind(sock, full_endpoint.c_str());
}

int ZMQPubSocket::sendMessage(Message *message) { return send(message->getData(), message->getSize()); }

int ZMQPubSocket::send(char *data, size_t size) {
  // The socket's I/O thread lives in the process that bound it; a forked child has none.
  FATAL_CHECK(pid == getpid());
  return zmq_send(sock, data, size, ZMQ_DONTWAIT);
}

bool ZMQPubSocket::all_readers_updated() {
  FATAL_CHECK(false);
  return false;
}

ZMQPubSocket::~ZMQPubSocket() {
  if (sock) zmq_close(sock);
}

void ZMQPoller::registerSocket(SubSocket *socket) {
  FATAL_CHECK(num_polls + 1 < MAX_POLLERS);
  polls[num_polls].socket = socket->getRawSocket();
  polls[num_polls].events = ZMQ_POLLIN;
  sockets.push_back(socket);
  num_polls++;
}

std::vector<SubSocket *> ZMQPoller::poll(int timeout) {
  std::vector<SubSocket *> ready;
  int rc = zmq_poll(polls, num_polls, timeout);
  if (rc < 0) {
    return ready;
  }
  for (size_t i = 0; i < num_polls; i++) {
    if (polls[i].revents) {
      ready.push_back(sockets[i]);
    }
  }
  return ready;
}
