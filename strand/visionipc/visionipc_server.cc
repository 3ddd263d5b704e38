#include "strand/visionipc/visionipc_server.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <limits>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

#include "common/swaglog.h"
#include "common/util.h"
#include "common/fatal_check.h"
#include "strand/visionipc/ipc.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long a connected client may take to send its request before the listener gives up on
// it. Clients are waited for side by side, so a client that connects and then says nothing
// costs only its own connection: nobody else waits behind it.
constexpr int SETUP_REQUEST_TIMEOUT_MS = 1000;
// Connections waiting for their request at once. Beyond this, new ones stay in the listen
// backlog until a waiting one is served or times out (at most one time-out later).
constexpr size_t MAX_PENDING_SETUPS = 64;
// The listener notices should_exit at least this often.
constexpr int LISTENER_POLL_MS = 100;

// Accepted setup connections whose request has not arrived yet, each with its own deadline.
// Closes whatever it still holds when destroyed.
class PendingSetups {
 public:
  struct Connection {
    int fd;
    Clock::time_point deadline;
  };

  PendingSetups() = default;
  ~PendingSetups() {
    for (const Connection &c : connections_) close(c.fd);
  }
  PendingSetups(const PendingSetups &) = delete;
  PendingSetups &operator=(const PendingSetups &) = delete;

  bool full() const { return connections_.size() >= MAX_PENDING_SETUPS; }
  void add(int fd) { connections_.push_back({fd, Clock::now() + std::chrono::milliseconds(SETUP_REQUEST_TIMEOUT_MS)}); }
  const std::vector<Connection> &connections() const { return connections_; }
  // Takes connection i out of the set; the caller closes it.
  int take(size_t i) {
    int fd = connections_[i].fd;
    connections_.erase(connections_.begin() + (long)i);
    return fd;
  }

  // Milliseconds until the nearest deadline, at most `limit`.
  int wait_ms(int limit) const {
    const Clock::time_point now = Clock::now();
    for (const Connection &c : connections_) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(c.deadline - now).count();
      limit = (int)std::max<int64_t>(0, std::min<int64_t>(limit, left));
    }
    return limit;
  }

 private:
  std::vector<Connection> connections_;
};

}  // namespace

VisionIpcServer::VisionIpcServer(std::string name, cl_device_id device_id, cl_context ctx)
    : device_id(device_id), ctx(ctx), should_exit(false), name(name) {
  msg_ctx = Context::create();

  std::random_device rd("/dev/urandom");
  std::uniform_int_distribution<uint64_t> distribution(0, std::numeric_limits<uint64_t>::max());
  server_id = distribution(rd);
}

void VisionIpcServer::create_buffers(VisionStreamType type, size_t num_buffers, bool rgb, size_t width,
                                     size_t height) {
  FATAL_CHECK(num_buffers < VISIONIPC_MAX_FDS);
  size_t size = 0;
  size_t stride = 0;
  size_t uv_offset = 0;
  if (rgb) {
    int aligned_w = 0, aligned_h = 0;
    visionbuf_compute_aligned_width_and_height((int)width, (int)height, &aligned_w, &aligned_h);
    stride = (size_t)aligned_w * 3;
    size = stride * (size_t)aligned_h;
  } else {
    stride = width;
    uv_offset = width * height;
    size = width * height * 3 / 2;
  }
  create_buffers_with_sizes(type, num_buffers, rgb, width, height, size, stride, uv_offset);
}

void VisionIpcServer::create_buffers_with_sizes(VisionStreamType type, size_t num_buffers, bool rgb, size_t width,
                                                size_t height, size_t size, size_t stride, size_t uv_offset) {
  for (size_t i = 0; i < num_buffers; i++) {
    VisionBuf *buf = new VisionBuf();
    buf->allocate(size);
    buf->idx = i;
    buf->type = type;
    if (device_id) {
      buf->init_cl(device_id, ctx);
    }
    if (rgb) {
      buf->init_rgb(width, height, stride);
    } else {
      buf->init_yuv(width, height, stride, uv_offset);
    }
    buffers[type].push_back(buf);
  }
  cur_idx[type] = 0;

  // A second set for the same stream replaces its publisher: release the one it replaces.
  auto old = sockets.find(type);
  if (old != sockets.end()) {
    delete old->second;
    sockets.erase(old);
  }
  PubSocket *sock = PubSocket::create(msg_ctx, get_endpoint_name(name, type), false);
  FATAL_CHECK(sock != nullptr);
  sockets[type] = sock;
}

void VisionIpcServer::start_listener() {
  listener_thread = std::thread(&VisionIpcServer::listener, this);
}

void VisionIpcServer::listener() {
  std::cout << "Starting listener for: " << name << std::endl;

  const std::string path = get_ipc_path(name);
  int sock = ipc_bind(path.c_str());
  FATAL_CHECK(sock >= 0);

  PendingSetups pending;
  Clock::time_point accept_resumes{};
  std::vector<pollfd> polls;
  while (!should_exit) {
    // Slot 0 is the listening socket, left out while it must not be accepted from; then one
    // slot per connection waiting for its request.
    const bool accepting = !pending.full() && Clock::now() >= accept_resumes;
    polls.assign(1, {accepting ? sock : -1, POLLIN, 0});
    for (const PendingSetups::Connection &c : pending.connections()) polls.push_back({c.fd, POLLIN, 0});
    int ret = poll(polls.data(), polls.size(), pending.wait_ms(LISTENER_POLL_MS));
    if (ret < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      std::cout << "poll failed, stopping listener" << std::endl;
      break;
    }
    if (should_exit) break;

    // From the back, so that taking one out leaves the slots of the others in place.
    const Clock::time_point now = Clock::now();
    for (size_t i = pending.connections().size(); i-- > 0;) {
      if (polls[i + 1].revents != 0) {
        int fd = pending.take(i);
        serve_setup_connection(fd);
        close(fd);
      } else if (now >= pending.connections()[i].deadline) {
        close(pending.take(i));
        std::cout << "setup connection without a valid request, closing it" << std::endl;
      }
    }

    if (polls[0].revents == 0) continue;
    // Non-blocking: a client that is not ready for its reply loses it rather than stall us.
    int fd = util::retry_eintr([&] { return accept4(sock, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC); });
    if (fd < 0) {
      // The pending connection stays queued; this one client waits, the listener goes on.
      // Out of descriptors or memory the retry would fail again at once, so leave the
      // listening socket alone for a poll period instead of spinning.
      int err = errno;
      std::cout << "accept failed: " << strerror(err) << std::endl;
      if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) {
        accept_resumes = Clock::now() + std::chrono::milliseconds(LISTENER_POLL_MS);
      }
      continue;
    }
    pending.add(fd);
  }

  std::cout << "Stopping listener for: " << name << std::endl;
  close(sock);
  unlink(path.c_str());
}

void VisionIpcServer::serve_setup_connection(int fd) {
  // The connection was readable (its request came, or it ended), so this does not wait.
  VisionStreamType type = VISION_STREAM_MAX;
  int r = ipc_sendrecv_with_fds(false, fd, &type, sizeof(type), nullptr, 0, nullptr);
  if (r != (int)sizeof(type)) {
    // Closed, cut short or oversized: this client gets no reply, the others go on.
    std::cout << "setup connection without a valid request, closing it" << std::endl;
    return;
  }

  if (type == VISION_STREAM_MAX) {
    std::vector<VisionStreamType> available_stream_types;
    for (auto &entry : buffers) {
      available_stream_types.push_back(entry.first);
    }
    const size_t reply_size = available_stream_types.size() * sizeof(VisionStreamType);
    r = ipc_sendrecv_with_fds(true, fd, available_stream_types.data(), reply_size, nullptr, 0, nullptr);
    if (r != (int)reply_size) {
      std::cout << "client gone before its stream list, closing it" << std::endl;
    }
    return;
  }

  auto stream = buffers.find(type);
  if (stream == buffers.end()) {
    std::cout << "got request for invalid buffer type: " << (int)type << std::endl;
    return;
  }

  const std::vector<VisionBuf *> &stream_buffers = stream->second;
  const int num_fds = (int)stream_buffers.size();
  std::vector<int> fds(num_fds);
  std::vector<VisionBuf> records(num_fds);
  for (int i = 0; i < num_fds; i++) {
    fds[i] = stream_buffers[i]->fd;
    records[i] = *stream_buffers[i];
    // Process-local handles mean nothing to the client.
    records[i].handle = 0;
    records[i].buf_cl = nullptr;
    records[i].copy_q = nullptr;
    records[i].server_id = server_id;
  }
  ipc_sendrecv_with_fds(true, fd, records.data(), sizeof(VisionBuf) * num_fds, fds.data(), num_fds, nullptr);
}

VisionBuf *VisionIpcServer::get_buffer(VisionStreamType type) {
  FATAL_CHECK(buffers.count(type));
  const std::vector<VisionBuf *> &stream_buffers = buffers.at(type);
  uint64_t i = cur_idx.at(type)++;
  return stream_buffers[i % stream_buffers.size()];
}

void VisionIpcServer::send(VisionBuf *buf, VisionIpcBufExtra *extra, bool sync) {
  if (sync && buf->sync(VISIONBUF_SYNC_FROM_DEVICE) != 0) {
    LOGE("Failed to sync buffer");
  }
  FATAL_CHECK(buffers.count(buf->type));
  FATAL_CHECK(buf->idx < buffers[buf->type].size());

  VisionIpcPacket packet = {};
  packet.server_id = server_id;
  packet.idx = buf->idx;
  if (extra) {
    packet.extra = *extra;
  }
  sockets[buf->type]->send((char *)&packet, sizeof(packet));
}

VisionIpcServer::~VisionIpcServer() {
  should_exit = true;
  // A server whose listener never started has nothing to join.
  if (listener_thread.joinable()) {
    listener_thread.join();
  }

  for (auto &entry : buffers) {
    for (VisionBuf *buf : entry.second) {
      if (buf->free() != 0) {
        LOGE("Failed to free buffer");
      }
      delete buf;
    }
  }
  for (auto &entry : sockets) {
    delete entry.second;
  }
  delete msg_ctx;
}
