#include "strand/visionipc/visionipc_client.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iostream>

#include "common/swaglog.h"
#include "common/util.h"
#include "common/fatal_check.h"
#include "strand/visionipc/ipc.h"

namespace {

// A server that is alive but frozen takes a setup connection (or leaves it in its backlog) and
// never answers. The setup exchange, from connecting to the reply, gets this long; then the
// caller hears false and tries again. The server allows a silent client as long.
constexpr int SETUP_TIMEOUT_MS = 1000;

using Clock = std::chrono::steady_clock;

// A setup connection to the server, or -1 when it cannot be reached and not blocking.
// `deadline` is when the exchange on it must be over.
int connect_to_vipc_server(const std::string &name, bool blocking, Clock::time_point *deadline) {
  const std::string path = get_ipc_path(name);
  *deadline = Clock::now() + std::chrono::milliseconds(SETUP_TIMEOUT_MS);
  int socket_fd = ipc_connect(path.c_str(), SETUP_TIMEOUT_MS);
  while (socket_fd < 0 && blocking) {
    std::cout << "VisionIpcClient connecting" << std::endl;
    util::sleep_for(100);
    *deadline = Clock::now() + std::chrono::milliseconds(SETUP_TIMEOUT_MS);
    socket_fd = ipc_connect(path.c_str(), SETUP_TIMEOUT_MS);
  }
  return socket_fd;
}

// Sends the 4-byte request, then receives the reply by `deadline`: the reply's byte count, or
// -1 when the request could not be sent (the server went away) or no whole reply came in time.
int setup_exchange(int socket_fd, Clock::time_point deadline, VisionStreamType request, void *reply,
                   size_t reply_size, int *fds, int num_fds, int *out_num_fds) {
  if (ipc_sendrecv_with_fds(true, socket_fd, &request, sizeof(request), nullptr, 0, nullptr) !=
      (int)sizeof(request)) {
    return -1;
  }
  // At least a millisecond: a zero time-out would mean none.
  const int64_t left_us = std::max<int64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count(), 1000);
  const timeval tv = {(time_t)(left_us / 1000000), (suseconds_t)(left_us % 1000000)};
  setsockopt(socket_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  return ipc_sendrecv_with_fds(false, socket_fd, reply, reply_size, fds, num_fds, out_num_fds);
}

}  // namespace

VisionIpcClient::VisionIpcClient(std::string name, VisionStreamType type, bool conflate, cl_device_id device_id,
                                 cl_context ctx)
    : name(name), device_id(device_id), ctx(ctx), type(type) {
  msg_ctx = Context::create();
  sock = SubSocket::create(msg_ctx, get_endpoint_name(name, type), "127.0.0.1", conflate, false);
  FATAL_CHECK(sock != nullptr);
  poller = Poller::create();
  poller->registerSocket(sock);
}

bool VisionIpcClient::connect(bool blocking) {
  connected = false;

  // A client never holds the buffers of two servers.
  for (size_t i = 0; i < (size_t)num_buffers; i++) {
    if (buffers[i].free() != 0) {
      LOGE("Failed to free buffer %zu", i);
    }
  }
  num_buffers = 0;

  Clock::time_point deadline;
  int socket_fd = connect_to_vipc_server(name, blocking, &deadline);
  if (socket_fd < 0) {
    return false;
  }

  // The server can go away between our connect and the request (a restart), or stop
  // answering: no buffers then, and the caller tries again like for an unreachable server.
  VisionBuf bufs[VISIONIPC_MAX_FDS];
  int fds[VISIONIPC_MAX_FDS];
  int r =
      setup_exchange(socket_fd, deadline, type, &bufs, sizeof(bufs), fds, VISIONIPC_MAX_FDS, &num_buffers);
  if (r < 0) {
    LOGW("vision server %s gave no buffers for stream %d: it went away, or did not answer within %d ms",
         name.c_str(), (int)type, SETUP_TIMEOUT_MS);
    num_buffers = 0;
    close(socket_fd);
    return false;
  }
  FATAL_CHECK(num_buffers >= 0);
  FATAL_CHECK_TEXT(r == (int)sizeof(VisionBuf) * num_buffers, "r == sizeof(VisionBuf) * num_buffers");

  for (int i = 0; i < num_buffers; i++) {
    buffers[i] = bufs[i];
    buffers[i].fd = fds[i];
    // OpenCL objects in the record belong to the sender's process, never to ours.
    buffers[i].buf_cl = nullptr;
    buffers[i].copy_q = nullptr;
    buffers[i].import();
    if (buffers[i].rgb) {
      buffers[i].init_rgb(buffers[i].width, buffers[i].height, buffers[i].stride);
    } else {
      buffers[i].init_yuv(buffers[i].width, buffers[i].height, buffers[i].stride, buffers[i].uv_offset);
    }
    if (device_id) {
      buffers[i].init_cl(device_id, ctx);
    }
  }

  close(socket_fd);
  connected = true;
  return true;
}

VisionBuf *VisionIpcClient::recv(VisionIpcBufExtra *extra, const int timeout_ms) {
  if (poller->poll(timeout_ms).empty()) {
    return nullptr;
  }
  Message *r = sock->receive(true);
  if (r == nullptr) {
    return nullptr;
  }
  FATAL_CHECK(r->getSize() == sizeof(VisionIpcPacket));
  // The payload carries no alignment promise: copy it out rather than cast it.
  VisionIpcPacket packet;
  memcpy(&packet, r->getData(), sizeof(packet));
  delete r;

  // Neither an index beyond the imported buffers nor another server's identity can name one
  // of our frames: both come from a server other than the imported one, and frames flow
  // again only after a new connect().
  if (packet.idx >= (uint64_t)num_buffers) {
    connected = false;
    return nullptr;
  }
  VisionBuf *buf = &buffers[packet.idx];
  if (buf->server_id != packet.server_id) {
    connected = false;
    return nullptr;
  }

  if (extra) {
    *extra = packet.extra;
  }
  if (buf->sync(VISIONBUF_SYNC_TO_DEVICE) != 0) {
    LOGE("Failed to sync buffer");
  }
  return buf;
}

std::set<VisionStreamType> VisionIpcClient::getAvailableStreams(const std::string &name, bool blocking) {
  Clock::time_point deadline;
  int socket_fd = connect_to_vipc_server(name, blocking, &deadline);
  if (socket_fd < 0) {
    return {};
  }

  VisionStreamType available_streams[VISION_STREAM_MAX] = {};
  int r = setup_exchange(socket_fd, deadline, VISION_STREAM_MAX, &available_streams,
                         sizeof(available_streams), nullptr, 0, nullptr);
  close(socket_fd);
  if (r < 0) {
    return {};  // gone or silent: no streams to be had from it now
  }
  FATAL_CHECK(r % sizeof(VisionStreamType) == 0);

  std::set<VisionStreamType> result;
  for (size_t i = 0; i < r / sizeof(VisionStreamType); i++) {
    result.insert(available_streams[i]);
  }
  return result;
}

VisionIpcClient::~VisionIpcClient() {
  for (size_t i = 0; i < (size_t)num_buffers; i++) {
    if (buffers[i].free() != 0) {
      LOGE("Failed to free buffer %zu", i);
    }
  }
  delete sock;
  delete poller;
  delete msg_ctx;
}
