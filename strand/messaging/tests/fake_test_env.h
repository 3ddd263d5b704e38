#pragma once

// Test helpers shared by the backend tests: a private /dev/shm prefix, a child process with a
// readable stdout, and a free TCP port for caller-made ZeroMQ endpoints.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "strand/messaging/tests/shm_prefix.h"

extern char **environ;

namespace messaging_test {

inline std::string unique_name(const std::string &stem) {
  std::random_device rd;
  return stem + "_" + std::to_string(getpid()) + "_" + std::to_string(rd());
}

// Milliseconds left until `deadline`, never negative.
inline int ms_until(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// A spawned program whose standard output the test reads line by line. It inherits the
// test's environment as it is at start() (plus `extra_env`) and every descriptor not marked
// close-on-exec. Killed and reaped on destruction if still running.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string> &argv, const std::vector<std::string> &extra_env = {}) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);

    std::vector<std::string> env_strings;
    for (char **e = environ; *e; e++) env_strings.push_back(*e);
    env_strings.insert(env_strings.end(), extra_env.begin(), extra_env.end());
    std::vector<char *> envp, args;
    for (auto &s : env_strings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argv_copy = argv;
    for (auto &s : argv_copy) args.push_back(s.data());
    args.push_back(nullptr);

    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    out_fd_ = fds[0];
  }
  ~ChildProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0) close(out_fd_);
  }
  ChildProcess(const ChildProcess &) = delete;
  ChildProcess &operator=(const ChildProcess &) = delete;

  bool started() const { return pid_ > 0; }

  // The next line of output (without the newline), or false when none came within
  // timeout_ms or the child closed its output.
  bool read_line(std::string *line, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      size_t nl = buffer_.find('\n');
      if (nl != std::string::npos) {
        *line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return true;
      }
      struct pollfd pfd = {out_fd_, POLLIN, 0};
      if (::poll(&pfd, 1, ms_until(deadline)) <= 0) return false;
      char chunk[4096];
      ssize_t n = read(out_fd_, chunk, sizeof(chunk));
      if (n <= 0) return false;
      buffer_.append(chunk, n);
    }
  }

  // Waits at most timeout_ms for the child to end; its wait status, or -1 if it did not.
  int wait(int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      int status = 0;
      pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        pid_ = -1;
        return status;
      }
      if (r < 0 || ms_until(deadline) == 0) return -1;
      usleep(5000);  // waitpid has no timeout; poll the child's state
    }
  }

 private:
  pid_t pid_ = -1;
  int out_fd_ = -1;
  std::string buffer_;
};

// A TCP port nobody listens on right now (the kernel's pick for an ephemeral bind).
inline int free_tcp_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof(addr);
  int port = -1;
  if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) == 0 &&
      getsockname(fd, reinterpret_cast<struct sockaddr *>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  close(fd);
  return port;
}

}  // namespace messaging_test
