#pragma once

// A one-way channel between a test and a process it forked, to step them in turn: one side
// notifies, the other waits for it with a bound.

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

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
