#pragma once

// The receiving end of one vision stream of one server. connect() imports all the stream's
// shared buffers over the setup socket; recv() then turns each frame packet of the stream's
// topic into a pointer to the buffer holding the frame. Nothing is copied or locked: a frame
// stays intact until the server hands its buffer out again (round robin over the stream).
//
// Used by one thread. The client owns its messaging context, subscriber and poller, and the
// descriptors and mappings it imported, until the next connect() or its destruction.

#include <set>
#include <string>

#include "strand/messaging/messaging.h"
#include "strand/visionipc/visionbuf.h"
#include "strand/visionipc/visionipc.h"

class VisionIpcClient {
 private:
  std::string name;
  Context *msg_ctx;
  SubSocket *sock;
  Poller *poller;
  cl_device_id device_id = nullptr;
  cl_context ctx = nullptr;

 public:
  bool connected = false;  // the current server's buffers are imported
  VisionStreamType type;
  int num_buffers = 0;
  VisionBuf buffers[VISIONIPC_MAX_FDS];  // entry i has idx i

  // Subscribes to the stream's frame topic at once; the server need not exist yet. conflate
  // keeps only the newest packet waiting. A null device_id means no OpenCL views.
  VisionIpcClient(std::string name, VisionStreamType type, bool conflate, cl_device_id device_id = nullptr,
                  cl_context ctx = nullptr);
  ~VisionIpcClient();
  VisionIpcClient(const VisionIpcClient &) = delete;
  VisionIpcClient &operator=(const VisionIpcClient &) = delete;

  // Releases the buffers of the previous connection and imports the server's current ones.
  // False when the server cannot be reached and `blocking` is false (blocking retries every
  // 100 ms until the server takes the connection), when the server went away before answering,
  // or when it took the connection but gave no reply within 1 s (a frozen server): the caller
  // may simply call again.
  bool connect(bool blocking = true);
  bool is_connected() { return connected; }

  // The next frame's buffer, waiting at most timeout_ms; null when none came. A packet from
  // another server instance than the imported one (a restart), or naming a buffer beyond the
  // imported ones, yields null and leaves the client not connected until the next connect().
  // `extra`, when given, receives the frame's metadata with a frame.
  VisionBuf *recv(VisionIpcBufExtra *extra = nullptr, const int timeout_ms = 100);

  // The streams the server offers; empty when it cannot be reached (unless blocking).
  static std::set<VisionStreamType> getAvailableStreams(const std::string &name, bool blocking = true);
};
