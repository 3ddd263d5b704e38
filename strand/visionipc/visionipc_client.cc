#include "strand/visionipc/visionipc_client.h"

#include <cstring>
#include <iostream>
#include <unistd.h>

#include "common/swaglog.h"
#include "common/util.h"
#include "common/fatal_check.h"
#include "strand/visionipc/ipc.h"

namespace {

// A setup connection to the server, or -1 when it cannot be reached and not blocking.
int connect_to_vipc_server(const std::string &name, bool blocking) {
  const std::string path = get_ipc_path(name);
  int socket_fd = ipc_connect(path.c_str());
  while (socket_fd < 0 && blocking) {
    std::cout << "VisionIpcClient connecting" << std::endl;
    util::sleep_for(100);
    socket_fd = ipc_connect(path.c_str());
  }
  return socket_fd;
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

  int socket_fd = connect_to_vipc_server(name, blocking);
  if (socket_fd < 0) {
    return false;
  }

  // The server can go away between our connect and this send (a restart): no buffers then,
  // and the caller tries again like for an unreachable server.
  VisionStreamType request = type;
  int r = ipc_sendrecv_with_fds(true, socket_fd, &request, sizeof(request), nullptr, 0, nullptr);
  if (r != (int)sizeof(request)) {
    close(socket_fd);
    return false;
  }

  VisionBuf bufs[VISIONIPC_MAX_FDS];
  int fds[VISIONIPC_MAX_FDS];
  r = ipc_sendrecv_with_fds(false, socket_fd, &bufs, sizeof(bufs), fds, VISIONIPC_MAX_FDS, &num_buffers);
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
  int socket_fd = connect_to_vipc_server(name, blocking);
  if (socket_fd < 0) {
    return {};
  }

  VisionStreamType request = VISION_STREAM_MAX;
  int r = ipc_sendrecv_with_fds(true, socket_fd, &request, sizeof(request), nullptr, 0, nullptr);
  FATAL_CHECK_TEXT(r == (int)sizeof(request), "r == sizeof(request)");

  VisionStreamType available_streams[VISION_STREAM_MAX] = {};
  r = ipc_sendrecv_with_fds(false, socket_fd, &available_streams, sizeof(available_streams), nullptr, 0, nullptr);
  FATAL_CHECK((r >= 0) && (r % sizeof(VisionStreamType) == 0));
  close(socket_fd);

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
