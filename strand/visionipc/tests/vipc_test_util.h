#pragma once

// Helpers for the vision IPC tests: a server running in its own process and driven through a
// pipe, and the frame pattern that lets a client check every byte it reads. Each test has a
// private prefix (TestPrefix: queue directory and socket names).

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <random>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/util.h"
#include "strand/visionipc/visionipc_client.h"
#include "strand/visionipc/visionipc_server.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_prefix.h"
#include "tests/support/wait.h"

namespace vipc_test {

using namespace std::chrono_literals;

// Frame `frame_id`'s bytes and metadata, so a reader can tell any frame from any other.
inline uint8_t pattern_byte(uint32_t frame_id, size_t i) { return (uint8_t)(frame_id * 131 + i * 7 + (i >> 11)); }

inline void fill_frame(VisionBuf *buf, uint32_t frame_id) {
  auto *p = (uint8_t *)buf->addr;
  for (size_t i = 0; i < buf->len; i++) p[i] = pattern_byte(frame_id, i);
}

inline VisionIpcBufExtra frame_extra(uint32_t frame_id) {
  VisionIpcBufExtra extra = {};
  extra.frame_id = frame_id;
  extra.timestamp_sof = frame_id * 1000ull + 1;
  extra.timestamp_eof = frame_id * 1000ull + 2;
  extra.valid = frame_id % 2 == 0;
  return extra;
}

// First byte index where `buf` differs from frame `frame_id`, or -1 when it holds that frame.
inline long first_mismatch(const VisionBuf *buf, uint32_t frame_id) {
  auto *p = (const uint8_t *)buf->addr;
  for (size_t i = 0; i < buf->len; i++) {
    if (p[i] != pattern_byte(frame_id, i)) return (long)i;
  }
  return -1;
}

struct StreamSpec {
  VisionStreamType type;
  size_t num_buffers;
  bool rgb;
  size_t width, height;
};

// Waits at most timeout_ms for `fd` to become readable. The frame topic's publisher signals
// this process (SIGUSR2) on every packet, so an interrupted wait simply goes on.
inline bool wait_readable(int fd, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (true) {
    pollfd p = {fd, POLLIN, 0};
    const int r = poll(&p, 1, ms_until(deadline));
    if (r == 1) return true;
    if (r == 0 || errno != EINTR) return false;
  }
}

// A VisionIpcServer in a forked process. The child creates its streams, starts the listener
// and then obeys commands from the parent: publish frames, exhaust or release its descriptor
// table, or stop (destroying the server and exiting 0).
class ServerProcess {
 public:
  ServerProcess(std::string name, std::vector<StreamSpec> streams, uint32_t first_frame_id,
                const std::string &stdout_path = "") {
    int cmd[2], ack[2];
    EXPECT_EQ(pipe(cmd), 0);
    EXPECT_EQ(pipe(ack), 0);
    pid_ = fork_child([&] {
      close(cmd[1]);
      close(ack[0]);
      if (!stdout_path.empty()) {
        FILE *f = freopen(stdout_path.c_str(), "w", stdout);
        if (!f) return 3;
        setvbuf(stdout, nullptr, _IOLBF, 0);
      }
      return run_child(name, streams, first_frame_id, cmd[0], ack[1]);
    });
    close(cmd[0]);
    close(ack[1]);
    cmd_fd_ = cmd[1];
    ack_fd_ = ack[0];
    ready_ = wait_ack();
  }

  ~ServerProcess() {
    if (pid_ > 0) stop();
    close(cmd_fd_);
    close(ack_fd_);
  }
  ServerProcess(const ServerProcess &) = delete;
  ServerProcess &operator=(const ServerProcess &) = delete;

  bool ready() const { return ready_; }
  pid_t pid() const { return pid_; }

  // Publishes `count` frames on `type` after skipping `skip` buffers; true once all are sent.
  bool send_frames(VisionStreamType type, int count, int skip = 0) {
    return command({CMD_FRAMES, (int32_t)type, count, skip});
  }
  bool exhaust_descriptors() { return command({CMD_EXHAUST_FDS, 0, 0, 0}); }
  bool release_descriptors() { return command({CMD_RELEASE_FDS, 0, 0, 0}); }

  // Stops the server; the child's exit status (0 when the server shut down cleanly).
  int stop() {
    command({CMD_QUIT, 0, 0, 0});
    int status = wait_exit();
    pid_ = -1;
    return status;
  }

 private:
  enum Cmd : int32_t { CMD_FRAMES, CMD_EXHAUST_FDS, CMD_RELEASE_FDS, CMD_QUIT };
  struct Command {
    int32_t cmd, type, count, skip;
  };

  bool command(Command c) {
    if (util::retry_eintr([&] { return write(cmd_fd_, &c, sizeof(c)); }) != (ssize_t)sizeof(c)) return false;
    return c.cmd == CMD_QUIT || wait_ack();
  }

  bool wait_ack() {
    if (!wait_readable(ack_fd_, 20000)) return false;
    char c = 0;
    return util::retry_eintr([&] { return read(ack_fd_, &c, 1); }) == 1 && c == 'k';
  }

  // The child's exit status, 128 + the signal that ended it, or -1 when it had to be killed.
  int wait_exit() {
    const std::optional<int> status = wait_child_status(pid_, 20s);
    if (!status) return -1;
    return WIFEXITED(*status) ? WEXITSTATUS(*status) : 128 + WTERMSIG(*status);
  }

  static int run_child(const std::string &name, const std::vector<StreamSpec> &streams, uint32_t frame_id,
                       int cmd_fd, int ack_fd) {
    VisionIpcServer server(name);
    for (const StreamSpec &s : streams) server.create_buffers(s.type, s.num_buffers, s.rgb, s.width, s.height);
    server.start_listener();
    std::vector<int> hoard;
    const char ok = 'k';
    if (write(ack_fd, &ok, 1) != 1) return 2;

    Command c;
    while (read(cmd_fd, &c, sizeof(c)) == (ssize_t)sizeof(c) && c.cmd != CMD_QUIT) {
      if (c.cmd == CMD_FRAMES) {
        for (int i = 0; i < c.skip; i++) server.get_buffer((VisionStreamType)c.type);
        for (int i = 0; i < c.count; i++, frame_id++) {
          VisionBuf *buf = server.get_buffer((VisionStreamType)c.type);
          fill_frame(buf, frame_id);
          VisionIpcBufExtra extra = frame_extra(frame_id);
          server.send(buf, &extra, true);
        }
      } else if (c.cmd == CMD_EXHAUST_FDS) {
        // Every free descriptor taken: the listener's next accept fails with EMFILE.
        struct rlimit lim;
        getrlimit(RLIMIT_NOFILE, &lim);
        lim.rlim_cur = std::min<rlim_t>(lim.rlim_cur, 512);
        setrlimit(RLIMIT_NOFILE, &lim);
        int fd;
        while ((fd = dup(cmd_fd)) >= 0) hoard.push_back(fd);
        if (errno != EMFILE) return 4;
      } else if (c.cmd == CMD_RELEASE_FDS) {
        for (int fd : hoard) close(fd);
        hoard.clear();
      }
      if (write(ack_fd, &ok, 1) != 1) return 2;
    }
    return 0;  // the server is destroyed on the way out
  }

  pid_t pid_ = -1;
  int cmd_fd_ = -1;
  int ack_fd_ = -1;
  bool ready_ = false;
};

// connect(false) until the server's listener answers, for at most 10 s.
inline bool connect_within(VisionIpcClient &client) {
  return wait_until([&] { return client.connect(false); }, 10s, 10ms);
}

// Receives frames until one arrives, for at most ~5 s.
inline VisionBuf *recv_frame(VisionIpcClient &client, VisionIpcBufExtra *extra) {
  VisionBuf *buf = nullptr;
  wait_until([&] { return (buf = client.recv(extra, 100)) != nullptr; }, 5s, 0ms);
  return buf;
}

// Waits, at most 10 s, until `path` holds `text`.
inline bool file_gets_text(const std::string &path, const std::string &text) {
  return wait_until([&] { return util::read_file(path).find(text) != std::string::npos; }, 10s, 10ms);
}

}  // namespace vipc_test
