// The shutdown bound: a process stuck after the watchdog is armed still ends, with the status it was given.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "system/orsolo/tools/cmdpanel/teardown_watchdog.h"
#include "tests/support/child_process.h"

namespace {

// Runs `body` in a forked child; returns its wait status, killing it if it outlives `limit`.
template <typename Body>
int run_child(Body body, std::chrono::seconds limit) {
  const std::optional<int> status = wait_child_status(fork_child([&] {
                                                        body();
                                                        return 99;
                                                      }),
                                                      limit);
  if (!status) {
    ADD_FAILURE() << "the child was still running after the watchdog's time";
    return -1;
  }
  return *status;
}

TEST(TeardownWatchdog, EndsADeadlockedShutdownWithTheGivenStatus) {
  const int status = run_child(
      [] {
        arm_teardown_watchdog(7, 1);
        // A shutdown that can never finish: a thread waiting for a lock its owner never releases.
        static std::mutex held;
        held.lock();
        std::thread waiter([] { std::lock_guard<std::mutex> never(held); });
        waiter.join();
      },
      std::chrono::seconds(30));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 7);
}

// A teardown that finishes in time keeps its own status and runs to its end: arming must not
// end the process early nor cut its exit handlers short. The child's teardown (an exit
// handler) waits for the parent's go before finishing, so a watchdog that fires at once would
// end it with 7 first.
TEST(TeardownWatchdog, DoesNotChangeAShutdownThatFinishes) {
  int to_child[2], from_child[2];
  ASSERT_EQ(pipe(to_child), 0);
  ASSERT_EQ(pipe(from_child), 0);
  static int go_fd, done_fd;
  go_fd = to_child[0];
  done_fd = from_child[1];
  const pid_t pid = fork_child([] {
    atexit([] {
      char c = 'r';
      if (write(done_fd, &c, 1) != 1) _exit(98);  // in teardown
      if (read(go_fd, &c, 1) != 1) _exit(97);     // until the parent says go
      c = 'd';
      if (write(done_fd, &c, 1) != 1) _exit(98);  // teardown finished
    });
    arm_teardown_watchdog(7, 30);
    exit(0);  // not _exit: the teardown under test runs in the exit handlers
    return 0;
  });
  ASSERT_GT(pid, 0);
  close(to_child[0]);
  close(from_child[1]);

  char c = 0;
  std::string seen;
  // Bounded: the child is killed after 30 s by its own watchdog at the latest.
  while (read(from_child[0], &c, 1) == 1) {
    seen += c;
    if (c == 'r') {
      ASSERT_EQ(write(to_child[1], "g", 1), 1);
    }
  }
  const std::optional<int> status = wait_child_status(pid, std::chrono::seconds(30));
  close(to_child[1]);
  close(from_child[0]);
  EXPECT_EQ(seen, "rd") << "the teardown did not run to its end";
  ASSERT_TRUE(status && WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 0);
}

}  // namespace
