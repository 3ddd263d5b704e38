// The shutdown bound: a process stuck after the watchdog is armed still ends, with the status it was given.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "system/orsolo/tools/cmdpanel/teardown_watchdog.h"

namespace {

// Runs `body` in a forked child; returns its wait status, killing it if it outlives `limit`.
template <typename Body>
int run_child(Body body, std::chrono::seconds limit) {
  const pid_t pid = fork();
  if (pid == 0) {
    body();
    _exit(99);
  }
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << "the child was still running after the watchdog's time";
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return status;
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

TEST(TeardownWatchdog, DoesNotChangeAShutdownThatFinishes) {
  const int status = run_child(
      [] {
        arm_teardown_watchdog(7, 5);
        _exit(0);
      },
      std::chrono::seconds(30));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
