#pragma once

// A reader of the road stream a camera server serves, for the tests.

#include <chrono>
#include <vector>

#include "strand/visionipc/visionipc_client.h"
#include "tests/support/wait.h"

namespace pc_test {

// One received road-stream frame, copied out of its shared buffer.
struct ServedFrame {
  int width = 0, height = 0;
  std::vector<uint8_t> nv12;
  VisionIpcBufExtra extra = {};
};

// A client of the road stream of "imagerd" in this process's TAVRIN_PREFIX.
class StreamReader {
 public:
  StreamReader() : client_("imagerd", VISION_STREAM_ROAD, false) {}

  // Waits at most `timeout_ms` for the server's buffers.
  bool connect(int timeout_ms) {
    return wait_until([&] { return client_.connect(false); }, std::chrono::milliseconds(timeout_ms),
                      std::chrono::milliseconds(20));
  }
  // Receives `n` frames, waiting at most `timeout_ms` in all; fewer when time ran out or the
  // server instance changed (which leaves the client disconnected).
  std::vector<ServedFrame> receive(size_t n, int timeout_ms) {
    std::vector<ServedFrame> out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (out.size() < n && std::chrono::steady_clock::now() < deadline && client_.connected) {
      VisionIpcBufExtra extra = {};
      VisionBuf *buf = client_.recv(&extra, 100);
      if (!buf) continue;
      ServedFrame f;
      f.width = (int)buf->width;
      f.height = (int)buf->height;
      f.nv12.assign((const uint8_t *)buf->addr,
                    (const uint8_t *)buf->addr + buf->width * buf->height * 3 / 2);
      f.extra = extra;
      out.push_back(std::move(f));
    }
    return out;
  }
  bool connected() const { return client_.connected; }

 private:
  VisionIpcClient client_;
};

}  // namespace pc_test
