// A waiting reader first watches its queue for a moment, then sleeps until the publisher's
// wake-up signal. Only a wait that may last watches; a reader whose thread holds the wake-up
// signal blocked is still woken; and SIGINT during the watch ends a blocking receive just as it
// does during the sleep.
//
// pthread_sigmask is defined by this program too, so that a test can send a signal at the one
// moment that matters: when the watch holds the wake-up signal back.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "strand/messaging/messaging.h"
#include "strand/messaging/msgq.h"
#include "strand/messaging/tests/msgq_test_util.h"

namespace {

std::function<void()> when_wakeups_held;  // run once, after the next block of SIGUSR2

}  // namespace

extern "C" int pthread_sigmask(int how, const sigset_t *set, sigset_t *old) {
  using Real = int (*)(int, const sigset_t *, sigset_t *);
  static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "pthread_sigmask"));
  int r = real(how, set, old);
  if (how == SIG_BLOCK && set != nullptr && sigismember(set, SIGUSR2) == 1 && when_wakeups_held) {
    auto action = std::move(when_wakeups_held);
    when_wakeups_held = nullptr;
    action();
  }
  return r;
}

namespace {

bool several_cpus() { return sysconf(_SC_NPROCESSORS_ONLN) > 1; }

// Whether thread `tid` of this process is asleep (state S in its stat line).
bool thread_sleeps(pid_t tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string line;
  std::getline(stat, line);
  size_t end_of_name = line.rfind(')');
  return end_of_name != std::string::npos && line.size() > end_of_name + 2 && line[end_of_name + 2] == 'S';
}

bool wakeup_pending() {
  sigset_t pending;
  sigpending(&pending);
  return sigismember(&pending, SIGUSR2) == 1;
}

class MsgqWatch : public ::testing::Test {
 protected:
  TestPrefix prefix;
};

// A poll or receive that must not wait never watches; one that may wait does (the handle counts
// a watch that saw nothing, which is every watch here: nothing is published).
TEST_F(MsgqWatch, OnlyAWaitThatMayLastWatches) {
  if (!several_cpus()) GTEST_SKIP() << "a single processor never watches";
  struct Case {
    const char *what;
    std::function<void(msgq_queue_t *, SubSocket *)> wait;
    bool watches;
  };
  const Case cases[] = {
      {"poll, timeout 0", [](msgq_queue_t *q, SubSocket *) { msgq_pollitem_t i = {q, 0}; msgq_poll(&i, 1, 0); }, false},
      {"non-blocking receive", [](msgq_queue_t *, SubSocket *s) { delete s->receive(true); }, false},
      {"receive, timeout 0",
       [](msgq_queue_t *, SubSocket *s) {
         s->setTimeout(0);
         delete s->receive(false);
       },
       false},
      {"poll, timeout 1 ms", [](msgq_queue_t *q, SubSocket *) { msgq_pollitem_t i = {q, 0}; msgq_poll(&i, 1, 1); }, true},
      {"receive, timeout 1 ms",
       [](msgq_queue_t *, SubSocket *s) {
         s->setTimeout(1);
         delete s->receive(false);
       },
       true},
  };
  std::unique_ptr<Context> ctx(Context::create());
  for (const Case &c : cases) {
    std::unique_ptr<SubSocket> sub(SubSocket::create(ctx.get(), "quiet", "127.0.0.1", false, false));
    ASSERT_NE(sub, nullptr);
    auto *q = static_cast<msgq_queue_t *>(sub->getRawSocket());
    c.wait(q, sub.get());
    EXPECT_EQ(q->spin_misses, c.watches ? 1u : 0u) << c.what;
  }
}

// A program that keeps SIGUSR2 blocked in its threads: the sleeping poll takes the wake-up
// anyway, rather than sleeping out its timeout with the signal left pending.
TEST_F(MsgqWatch, ReaderHoldingItsWakeupSignalIsWoken) {
  msgq_queue_t pub, sub;
  ASSERT_EQ(msgq_new_queue(&pub, "held", 4096), 0);
  msgq_init_publisher(&pub);
  ASSERT_EQ(msgq_new_queue(&sub, "held", 4096), 0);
  msgq_init_subscriber(&sub);

  sigset_t wakeup, previous;
  sigemptyset(&wakeup);
  sigaddset(&wakeup, SIGUSR2);
  pthread_sigmask(SIG_BLOCK, &wakeup, &previous);

  const pid_t reader_tid = pid_t(syscall(SYS_gettid));
  std::atomic<bool> polling{false}, sent{false};
  std::thread publisher([&] {
    // Once the reader sleeps in its poll; should that never be seen, send anyway.
    wait_until([&] { return polling.load() && thread_sleeps(reader_tid); });
    sent = send_text(&pub, "wake up") > 0;
  });
  polling = true;
  msgq_pollitem_t item = {&sub, 0};
  int ready = msgq_poll(&item, 1, 30000);
  publisher.join();

  EXPECT_TRUE(sent);
  EXPECT_EQ(ready, 1);
  EXPECT_FALSE(wakeup_pending()) << "the poll ended without taking its wake-up";
  timespec now = {0, 0};
  sigtimedwait(&wakeup, nullptr, &now);  // a leftover must not reach the next test
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  msgq_close_queue(&sub);
  msgq_close_queue(&pub);
}

std::atomic<int> own_handler_calls{0};
void own_handler(int) { own_handler_calls++; }

// SIGINT arrives while a blocking receive watches its queue, before it has taken SIGINT over:
// the receive still ends with EINTR, and the program's own handler does not run.
TEST_F(MsgqWatch, SigintDuringTheWatchEndsTheReceive) {
  std::unique_ptr<Context> ctx(Context::create());
  std::unique_ptr<SubSocket> sub(SubSocket::create(ctx.get(), "interrupted", "127.0.0.1", false, false));
  ASSERT_NE(sub, nullptr);
  sub->setTimeout(2000);  // bounds the receive should the signal go astray

  struct sigaction own = {}, previous = {};
  own.sa_handler = own_handler;
  sigemptyset(&own.sa_mask);
  sigaction(SIGINT, &own, &previous);
  own_handler_calls = 0;

  when_wakeups_held = [] { raise(SIGINT); };
  errno = 0;
  std::unique_ptr<Message> m(sub->receive(false));
  const int error = errno;
  const bool raised = when_wakeups_held == nullptr;
  when_wakeups_held = nullptr;
  sigaction(SIGINT, &previous, nullptr);

  ASSERT_TRUE(raised) << "the receive never held its wake-up signal back";
  EXPECT_EQ(m, nullptr);
  EXPECT_EQ(error, EINTR) << "the receive waited on after SIGINT";
  EXPECT_EQ(own_handler_calls.load(), 0) << "SIGINT went to the program's handler during the receive";
}

}  // namespace
