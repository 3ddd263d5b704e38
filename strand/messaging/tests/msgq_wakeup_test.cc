// Wake-ups: a message published while a reader is between its last look and its sleep still
// ends that sleep; a poll over nothing waits as long as asked; and a publisher never signals a
// thread that is not a live reader of its queue, however stale its reader slots are.
//
// The sleep of msgq_poll is reached through sigtimedwait (ppoll with nothing to poll), which
// this program defines itself, so that a test can act at the one moment that matters: after the
// last readiness test, just before the sleep.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "strand/messaging/msgq.h"
#include "strand/messaging/tests/msgq_test_util.h"

namespace {

struct SleepRecord {
  int calls = 0;
  nfds_t nfds = 0;
  timespec asked = {};
  int result = 0;
  int error = 0;
  bool woken = false;  // ended by a wake-up signal, not by its timeout
};

std::function<void()> before_sleep;  // run once, at the next sleep
SleepRecord last_sleep;

}  // namespace

// Every ppoll of this program: records the first sleep after arming, runs the armed action
// right before it, then sleeps for real.
extern "C" int ppoll(struct pollfd *fds, nfds_t nfds, const struct timespec *timeout, const sigset_t *sigmask) {
  timespec ts = timeout ? *timeout : timespec{};
  if (before_sleep) {
    auto action = std::move(before_sleep);
    before_sleep = nullptr;
    action();
  }
  long r = syscall(SYS_ppoll, fds, nfds, timeout ? &ts : nullptr, sigmask, _NSIG / 8);
  last_sleep.calls++;
  last_sleep.nfds = nfds;
  if (timeout) last_sleep.asked = *timeout;
  last_sleep.result = int(r);
  last_sleep.error = r < 0 ? errno : 0;
  last_sleep.woken = r < 0 && errno == EINTR;
  return int(r);
}

// The same for every sigtimedwait that sleeps (a zero timeout only takes a pending signal).
extern "C" int sigtimedwait(const sigset_t *set, siginfo_t *info, const struct timespec *timeout) {
  const bool sleeps = timeout == nullptr || timeout->tv_sec != 0 || timeout->tv_nsec != 0;
  if (sleeps && before_sleep) {
    auto action = std::move(before_sleep);
    before_sleep = nullptr;
    action();
  }
  long r = syscall(SYS_rt_sigtimedwait, set, info, timeout, _NSIG / 8);
  if (!sleeps) return int(r);
  last_sleep.calls++;
  if (timeout) last_sleep.asked = *timeout;
  last_sleep.result = int(r);
  last_sleep.error = r < 0 ? errno : 0;
  last_sleep.woken = r == SIGUSR2;
  return int(r);
}

namespace {

class MsgqWakeup : public ::testing::Test {
 protected:
  void SetUp() override { last_sleep = SleepRecord(); }
  TestPrefix prefix;
};

}  // namespace

// The publisher's signal arrives after the reader's last look and before its sleep: the sleep
// must end at once (the signal stays pending until then), not after the whole timeout.
TEST_F(MsgqWakeup, MessageBetweenLastLookAndSleepEndsTheSleep) {
  msgq_queue_t pub, sub;
  ASSERT_EQ(msgq_new_queue(&pub, "window", 4096), 0);
  msgq_init_publisher(&pub);
  ASSERT_EQ(msgq_new_queue(&sub, "window", 4096), 0);
  msgq_init_subscriber(&sub);

  before_sleep = [&] { send_text(&pub, "in the window"); };
  msgq_pollitem_t item = {&sub, 0};
  EXPECT_EQ(msgq_poll(&item, 1, 5000), 1);
  EXPECT_EQ(item.revents, 1);
  ASSERT_EQ(last_sleep.calls, 1);
  EXPECT_TRUE(last_sleep.woken) << "the sleep ran its course: the wake-up was lost";
  msgq_close_queue(&sub);
  msgq_close_queue(&pub);
}

// With nothing to poll, a finite timeout is still waited out (a caller polling in a loop would
// otherwise spin); -1 and 0 return without sleeping.
TEST_F(MsgqWakeup, PollOverNothingWaitsOutAFiniteTimeout) {
  EXPECT_EQ(msgq_poll(nullptr, 0, -1), 0);
  EXPECT_EQ(msgq_poll(nullptr, 0, 0), 0);
  EXPECT_EQ(last_sleep.calls, 0);

  EXPECT_EQ(msgq_poll(nullptr, 0, 30), 0);
  ASSERT_GE(last_sleep.calls, 1);
  EXPECT_EQ(last_sleep.nfds, 0u);
  EXPECT_EQ(last_sleep.result, 0) << "the last sleep ends at the deadline";
}

namespace {

// A process that only sleeps, with SIGUSR2's default action: a signal would end it.
pid_t start_canary() {
  return fork_child([] {
    signal(SIGUSR2, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (;;) pause();
    return 0;
  });
}

bool alive(pid_t pid) { return waitpid(pid, nullptr, WNOHANG) == 0; }

// A reader process: registers, receives `count` messages through blocking polls, and exits,
// leaving its slot behind as every reader does.
pid_t start_reader(int count) {
  return fork_child([count] {
    msgq_queue_t q;
    if (msgq_new_queue(&q, "crowd", 64 * 1024) != 0) return 2;
    msgq_init_subscriber(&q);
    for (int got = 0; got < count;) {
      msgq_pollitem_t item = {&q, 0};
      if (msgq_poll(&item, 1, 100) == 0) continue;
      msgq_msg_t msg;
      if (msgq_msg_recv(&msg, &q) > 0) got++;
      msgq_msg_close(&msg);
    }
    msgq_close_queue(&q);
    return 0;
  });
}

}  // namespace

// Readers come and go, leaving stale slots, and a stranger's thread id is planted in a stale
// slot again and again, caught up so that the publisher would wake it. The stranger, whose
// SIGUSR2 would end it, must survive every message and every eviction; the readers must still
// get their messages.
TEST_F(MsgqWakeup, StrangerInAStaleSlotIsNeverSignalled) {
  pid_t canary = start_canary();
  ASSERT_GT(canary, 0);
  msgq_queue_t pub;
  ASSERT_EQ(msgq_new_queue(&pub, "crowd", 64 * 1024), 0);
  msgq_init_publisher(&pub);
  std::mt19937_64 rng(7);

  bool readers_ok = true;
  for (int round = 0; round < 40 && readers_ok && alive(canary); round++) {
    pid_t reader = start_reader(3);
    // Until the reader has registered (or evicted everyone and taken slot 0) and read its three.
    bool done = wait_until(
        [&] {
          send_text(&pub, "tick");
          return waitpid(reader, nullptr, WNOHANG) == reader;
        },
        std::chrono::seconds(20));
    if (!done) {
      kill(reader, SIGKILL);
      wait_child(reader);
      readers_ok = false;
    }
    // Plant the stranger in a slot, positioned as a reader that has read everything.
    uint64_t slots = std::min<uint64_t>(pub.num_readers->load(), MSGQ_READER_SLOTS);
    if (slots > 0) {
      int k = int(rng() % slots);
      pub.read_pointers[k]->store(pub.write_pointer->load());
      pub.read_valids[k]->store(1);
      pub.read_uids[k]->store((rng() << 32) | uint64_t(uint32_t(canary)));
    }
    send_text(&pub, "for the stranger's slot");
  }

  EXPECT_TRUE(readers_ok) << "a reader did not get its messages";
  EXPECT_TRUE(alive(canary)) << "the stranger was signalled";
  kill(canary, SIGKILL);
  wait_child(canary);
  msgq_close_queue(&pub);
}
