#include "common/exit_handler.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/child_process.h"
#include "tests/support/wait.h"

namespace {

// Reads one line the child wrote, waiting at most timeout_ms.
std::string read_line(int fd, int timeout_ms = 5000) {
  std::string line;
  char c;
  while (true) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return line + "<timeout>";
    if (read(fd, &c, 1) != 1 || c == '\n') return line;
    line += c;
  }
}

// In the child: wait (bounded) until the last signal is `sig`, then report the three values.
void child_wait_and_report(ExitHandler &h, int sig, int out) {
  wait_until([&] { return ExitHandler::signal.load() == sig; }, std::chrono::seconds(5));
  dprintf(out, "%d %d %d\n", (bool)h, ExitHandler::power_failure.load(), ExitHandler::signal.load());
}

TEST(ExitHandler, RealSignalsSetFlagPowerFailureAndSignal) {
  int to_parent[2];
  ASSERT_EQ(pipe(to_parent), 0);
  pid_t pid = fork_child([&] {
    close(to_parent[0]);
    ExitHandler h;
    dprintf(to_parent[1], "%d %d %d\n", (bool)h, ExitHandler::power_failure.load(), ExitHandler::signal.load());
    child_wait_and_report(h, SIGPWR, to_parent[1]);
    child_wait_and_report(h, SIGTERM, to_parent[1]);
    return 0;
  });
  ASSERT_GE(pid, 0);
  close(to_parent[1]);
  EXPECT_EQ(read_line(to_parent[0]), "0 0 0");  // handlers installed, nothing received yet

  kill(pid, SIGPWR);
  EXPECT_EQ(read_line(to_parent[0]), "1 1 30");

  kill(pid, SIGTERM);  // a later signal repeats the stores: no longer a power failure
  EXPECT_EQ(read_line(to_parent[0]), "1 0 15");

  EXPECT_EQ(wait_child(pid), 0) << "the handled signals must not end the process";
  close(to_parent[0]);
}

TEST(ExitHandler, SigintIsHandledToo) {
  pid_t pid = fork_child([] {
    ExitHandler h;
    raise(SIGINT);
    return h && ExitHandler::signal == SIGINT && !ExitHandler::power_failure ? 0 : 1;
  });
  ASSERT_GE(pid, 0);
  EXPECT_EQ(wait_child(pid), 0);
}

}  // namespace
