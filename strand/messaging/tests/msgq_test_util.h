#pragma once

// Helpers shared by the queue tests: a private queue directory per test, and child processes
// that report through their exit status.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <thread>

#include "strand/messaging/tests/shm_prefix.h"

using messaging_test::ShmPrefix;

// Runs `body` in a forked child; its return value becomes the exit status (0 = success).
inline pid_t fork_child(const std::function<int()> &body) {
  pid_t pid = fork();
  if (pid == 0) {
    int status = 1;
    try {
      status = body();
    } catch (...) {
      status = 99;
    }
    _exit(status);
  }
  return pid;
}

// Waits for a child at most `timeout`; kills it when late. The child's exit status, or -1
// when it died from a signal or had to be killed.
inline int wait_child(pid_t pid, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  for (;;) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (r < 0) return -1;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Polls `cond` until it holds or `timeout` passes.
template <typename F>
bool wait_until(F &&cond, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// A one-way channel between a parent and a forked child, to step them in turn.
class Signal {
 public:
  Signal() { EXPECT_EQ(pipe(fds_), 0); }
  ~Signal() {
    close(fds_[0]);
    close(fds_[1]);
  }
  Signal(const Signal &) = delete;
  Signal &operator=(const Signal &) = delete;

  void notify() { (void)!write(fds_[1], "x", 1); }
  // True when notified within the timeout.
  bool wait(int timeout_ms = 10000) {
    pollfd p = {fds_[0], POLLIN, 0};
    char c;
    return poll(&p, 1, timeout_ms) == 1 && read(fds_[0], &c, 1) == 1;
  }

 private:
  int fds_[2] = {-1, -1};
};
