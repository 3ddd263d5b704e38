#pragma once

// The publishing end of vision IPC. Create every stream's buffers, then start the listener
// that hands them to clients over the setup socket; for every frame take the stream's next
// buffer (get_buffer), fill it, and publish it (send).
//
// Threads: the owner's thread creates streams, sends frames and destroys the server; the
// listener thread reads the stream maps without a lock, so every stream must exist before
// start_listener() and none may change afterwards. The server owns its buffers, publishers
// and messaging context; destruction stops the listener before any buffer is released.

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "strand/messaging/messaging.h"
#include "strand/visionipc/visionbuf.h"
#include "strand/visionipc/visionipc.h"

class VisionIpcServer {
 private:
  cl_device_id device_id = nullptr;
  cl_context ctx = nullptr;
  uint64_t server_id;  // random per instance: lets clients notice a restart

  std::atomic<bool> should_exit;
  std::string name;
  std::thread listener_thread;

  std::map<VisionStreamType, std::atomic<uint64_t>> cur_idx;
  std::map<VisionStreamType, std::vector<VisionBuf *>> buffers;

  Context *msg_ctx;
  std::map<VisionStreamType, PubSocket *> sockets;

  void listener();
  // Answers one setup connection: its 4-byte request, then the stream list or the buffers.
  void serve_setup_connection(int fd);

 public:
  // A null device_id means no OpenCL views of the buffers.
  VisionIpcServer(std::string name, cl_device_id device_id = nullptr, cl_context ctx = nullptr);
  ~VisionIpcServer();
  VisionIpcServer(const VisionIpcServer &) = delete;
  VisionIpcServer &operator=(const VisionIpcServer &) = delete;

  // num_buffers below VISIONIPC_MAX_FDS (fatal otherwise). NV12: stride = width, the chroma
  // plane right after width x height luma bytes; RGB: 3 bytes per pixel.
  void create_buffers(VisionStreamType type, size_t num_buffers, bool rgb, size_t width, size_t height);
  void create_buffers_with_sizes(VisionStreamType type, size_t num_buffers, bool rgb, size_t width,
                                 size_t height, size_t size, size_t stride, size_t uv_offset);
  // Once, after every stream has been created.
  void start_listener();

  // The stream's buffers in turn; may be called from several threads.
  VisionBuf *get_buffer(VisionStreamType type);
  // Publishes the frame in `buf` with its metadata (`extra` may be null: zero metadata).
  // `sync` runs cache maintenance over the buffer first (a failure is logged, the frame still goes).
  void send(VisionBuf *buf, VisionIpcBufExtra *extra, bool sync = true);
};
