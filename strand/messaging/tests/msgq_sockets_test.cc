// The messaging interfaces over the shared-memory queue, through the factories.
#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <thread>
#include <string>
#include <vector>

#include "strand/messaging/impl_msgq.h"
#include "strand/messaging/messaging.h"
#include "strand/messaging/tests/msgq_test_util.h"

namespace {

std::string payload_for(int i) { return "message " + std::to_string(i) + std::string(i % 37, 'x'); }

class MsgqSockets : public ::testing::Test {
 protected:
  TestPrefix prefix;
  std::unique_ptr<Context> ctx{Context::create()};
};

}  // namespace

TEST_F(MsgqSockets, PublisherAndSubscriberInSeparateProcesses) {
  std::unique_ptr<PubSocket> pub(PubSocket::create(ctx.get(), "carState", true));
  ASSERT_NE(pub, nullptr);
  constexpr int N = 200;

  pid_t child = fork_child([] {
    std::unique_ptr<Context> c(Context::create());
    std::unique_ptr<SubSocket> sub(SubSocket::create(c.get(), "carState", "127.0.0.1", false, true));
    if (!sub) return 2;
    sub->setTimeout(5000);
    for (int i = 0; i < N; i++) {
      std::unique_ptr<Message> m(sub->receive());
      if (!m) return 3;
      if (std::string(m->getData(), m->getSize()) != payload_for(i)) return 4;
    }
    return 0;
  });

  // The subscriber has registered once a reader slot is up to date.
  ASSERT_TRUE(wait_until([&] { return pub->all_readers_updated(); }));
  for (int i = 0; i < N; i++) {
    std::string p = payload_for(i);
    ASSERT_EQ(pub->send(p.data(), p.size()), int(p.size()));
    // Keep within the queue: wait for the reader every few messages.
    if (i % 50 == 49) {
      ASSERT_TRUE(wait_until([&] { return pub->all_readers_updated(); }));
    }
  }
  EXPECT_EQ(wait_child(child), 0);
}

TEST_F(MsgqSockets, NonBlockingReceiveOnEmptyQueueReturnsNullWithErrnoZero) {
  std::unique_ptr<PubSocket> pub(PubSocket::create(ctx.get(), "carState", true));
  std::unique_ptr<SubSocket> sub(SubSocket::create(ctx.get(), "carState", "127.0.0.1", false, true));
  ASSERT_TRUE(pub && sub);
  errno = EBADF;
  EXPECT_EQ(sub->receive(true), nullptr);
  EXPECT_EQ(errno, 0);

  char text[] = "hello";
  ASSERT_EQ(pub->send(text, 5), 5);
  std::unique_ptr<Message> m(sub->receive(true));
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(std::string(m->getData(), m->getSize()), "hello");
  EXPECT_EQ(sub->receive(true), nullptr);
}

TEST_F(MsgqSockets, BlockingReceiveWokenBySendFromAnotherProcess) {
  std::unique_ptr<SubSocket> sub(SubSocket::create(ctx.get(), "modelV2", "127.0.0.1", false, true));
  ASSERT_NE(sub, nullptr);
  Signal received;
  pid_t child = fork_child([&] {
    std::unique_ptr<Context> c(Context::create());
    std::unique_ptr<PubSocket> pub(PubSocket::create(c.get(), "modelV2", true));
    if (!pub) return 2;
    // Taking the queue over resets the reader slots, and the waiting receive registers again
    // only within its next poll slice: a message sent before that is not for it. So send
    // until the receiver says it got one.
    char text[] = "woken";
    for (int attempt = 0; attempt < 500; attempt++) {
      if (pub->send(text, 5) != 5) return 4;
      if (received.wait(20)) return 0;
    }
    return 3;
  });
  // Should the child fail, interrupt the receive so the test ends instead of waiting forever.
  int child_status = -1;
  pthread_t receiver = pthread_self();
  std::thread watcher([&] {
    child_status = wait_child(child);
    if (child_status != 0) pthread_kill(receiver, SIGINT);
  });
  std::unique_ptr<Message> m(sub->receive());  // no timeout
  received.notify();
  watcher.join();
  EXPECT_EQ(child_status, 0);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(std::string(m->getData(), m->getSize()), "woken");
}

namespace {

std::atomic<int> app_handler_calls{0};
void app_handler(int) { app_handler_calls++; }

bool handler_installed(int sig, void (*handler)(int)) {
  struct sigaction cur = {};
  sigaction(sig, nullptr, &cur);
  return cur.sa_handler == handler;
}

}  // namespace

// SIGINT ends a blocking receive with EINTR; the application's handlers are back afterwards
// and did not see the signal.
TEST_F(MsgqSockets, BlockingReceiveInterruptedBySigint) {
  struct sigaction app = {};
  app.sa_handler = app_handler;
  app.sa_flags = SA_RESTART;
  sigemptyset(&app.sa_mask);
  sigaction(SIGINT, &app, nullptr);
  sigaction(SIGTERM, &app, nullptr);

  std::unique_ptr<SubSocket> sub(SubSocket::create(ctx.get(), "carState", "127.0.0.1", false, true));
  ASSERT_NE(sub, nullptr);
  pthread_t receiver = pthread_self();
  std::thread interrupter([&] {
    // Signal only while the receive has taken SIGINT over, so the signal cannot reach the
    // application's handler.
    if (wait_until([] { return handler_installed(SIGINT, sig_handler); })) pthread_kill(receiver, SIGINT);
  });
  errno = 0;
  Message *m = sub->receive();
  int err = errno;
  interrupter.join();
  EXPECT_EQ(m, nullptr);
  EXPECT_EQ(err, EINTR);
  EXPECT_EQ(app_handler_calls.load(), 0);

  struct sigaction after = {};
  sigaction(SIGINT, nullptr, &after);
  EXPECT_EQ(after.sa_handler, app_handler);
  EXPECT_TRUE(after.sa_flags & SA_RESTART);
  EXPECT_TRUE(handler_installed(SIGTERM, app_handler));

  // A later non-blocking receive clears the flag again.
  EXPECT_EQ(sub->receive(true), nullptr);
  EXPECT_EQ(errno, 0);
}

TEST_F(MsgqSockets, ReceiveWithTimeoutGivesUpWhenNothingComes) {
  std::unique_ptr<SubSocket> sub(SubSocket::create(ctx.get(), "carState", "127.0.0.1", false, true));
  ASSERT_NE(sub, nullptr);
  for (int timeout : {0, 30}) {
    sub->setTimeout(timeout);
    errno = EBADF;
    EXPECT_EQ(sub->receive(), nullptr);
    EXPECT_EQ(errno, 0);
  }
}

TEST_F(MsgqSockets, ConflatingSubscriberGetsTheNewest) {
  std::unique_ptr<PubSocket> pub(PubSocket::create(ctx.get(), "gpsLocation", true));
  std::unique_ptr<SubSocket> sub(SubSocket::create(ctx.get(), "gpsLocation", "127.0.0.1", true, true));
  ASSERT_TRUE(pub && sub);
  char a[] = "first", b[] = "second";
  pub->send(a, 5);
  pub->send(b, 6);
  std::unique_ptr<Message> m(sub->receive(true));
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(std::string(m->getData(), m->getSize()), "second");
  EXPECT_EQ(sub->receive(true), nullptr);
}

TEST_F(MsgqSockets, ServiceListWarningOnlyWhenChecking) {
  MSGQSubSocket sub;
  MSGQPubSocket pub;
  testing::internal::CaptureStdout();
  EXPECT_EQ(pub.connect(ctx.get(), "notATopic", true), 0);
  EXPECT_EQ(sub.connect(ctx.get(), "notATopic", "127.0.0.1", false, true), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Warning, notATopic is not in service list.\nWarning, notATopic is not in service list.\n");

  MSGQSubSocket unchecked;
  testing::internal::CaptureStdout();
  EXPECT_EQ(unchecked.connect(ctx.get(), "notATopic", "127.0.0.1", false, false), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(MsgqSockets, ConnectFailureReportsErrno) {
  // Only the prefix's own directory is made on demand, not a missing parent.
  setenv("TAVRIN_PREFIX", "msgq_missing_parent_for_sockets_test/prefix", 1);
  MSGQSubSocket sub;
  MSGQPubSocket pub;
  testing::internal::CaptureStdout();
  errno = 0;
  EXPECT_NE(sub.connect(ctx.get(), "carState", "127.0.0.1", false, true), 0);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_NE(pub.connect(ctx.get(), "carState", true), 0);
  EXPECT_EQ(errno, ENOENT);
  testing::internal::GetCapturedStdout();
}

TEST_F(MsgqSockets, SubscriberNeedsTheLocalAddress) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  MSGQSubSocket sub;
  EXPECT_DEATH(sub.connect(ctx.get(), "carState", "192.168.1.5", false, true), "address == \"127\\.0\\.0\\.1\"");
  EXPECT_DEATH(sub.connect(nullptr, "carState", "127.0.0.1", false, true), "context");
}

TEST_F(MsgqSockets, NewerPublisherOwnsTheTopic) {
  std::unique_ptr<PubSocket> older(PubSocket::create(ctx.get(), "carState", true));
  std::unique_ptr<PubSocket> newer(PubSocket::create(ctx.get(), "carState", true));
  std::unique_ptr<SubSocket> sub(SubSocket::create(ctx.get(), "carState", "127.0.0.1", false, true));
  ASSERT_TRUE(older && newer && sub);
  char text[] = "data";
  testing::internal::CaptureStdout();
  errno = 0;
  EXPECT_EQ(older->send(text, 4), -1);
  EXPECT_EQ(errno, EADDRINUSE);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Killing old publisher: carState\n");
  EXPECT_EQ(newer->send(text, 4), 4);
  std::unique_ptr<Message> m(sub->receive(true));
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->getSize(), 4u);
}

TEST_F(MsgqSockets, PollerReportsReadySocketsInRegistrationOrder) {
  const char *topics[] = {"carState", "deviceState", "gpsLocation"};
  std::vector<std::unique_ptr<PubSocket>> pubs;
  std::vector<std::unique_ptr<SubSocket>> subs;
  for (const char *t : topics) {
    pubs.emplace_back(PubSocket::create(ctx.get(), t, true));
    subs.emplace_back(SubSocket::create(ctx.get(), t, "127.0.0.1", false, true));
    ASSERT_TRUE(pubs.back() && subs.back());
  }
  std::unique_ptr<Poller> poller(Poller::create({subs[0].get(), subs[1].get(), subs[2].get()}));
  EXPECT_TRUE(poller->poll(0).empty());

  char text[] = "m";
  pubs[2]->send(text, 1);
  pubs[0]->send(text, 1);
  EXPECT_EQ(poller->poll(0), (std::vector<SubSocket *>{subs[0].get(), subs[2].get()}));
  EXPECT_EQ(poller->poll(-1), (std::vector<SubSocket *>{subs[0].get(), subs[2].get()}));
}

TEST_F(MsgqSockets, EmptyPollerReturnsAtOnce) {
  MSGQPoller poller;
  EXPECT_TRUE(poller.poll(-1).empty());
}

TEST_F(MsgqSockets, PollerHoldsAtMost127Sockets) {
  std::unique_ptr<SubSocket> sub(SubSocket::create(ctx.get(), "carState", "127.0.0.1", false, true));
  ASSERT_NE(sub, nullptr);
  MSGQPoller poller;
  for (int i = 0; i < MAX_POLLERS - 1; i++) poller.registerSocket(sub.get());
  EXPECT_EQ(poller.poll(0).size(), 0u);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(poller.registerSocket(sub.get()), "num_polls \\+ 1 < MAX_POLLERS");
}

TEST_F(MsgqSockets, MessageOwnership) {
  MSGQMessage m;
  char text[] = "payload";
  m.init(text, 7);
  EXPECT_NE(m.getData(), text);
  EXPECT_EQ(std::string(m.getData(), m.getSize()), "payload");
  char *adopted = new char[3]{'a', 'b', 'c'};
  m.takeOwnership(adopted, 3);  // frees the earlier copy; ASan checks both
  EXPECT_EQ(m.getData(), adopted);
  m.close();
  EXPECT_EQ(m.getSize(), 0u);
  m.init(16);
  EXPECT_EQ(m.getSize(), 16u);
  m.init(size_t(0));  // a zero-length array is still an array: the sanitizer run sees a leak
  EXPECT_EQ(m.getSize(), 0u);
  m.close();
  msgq_msg_t raw;
  ASSERT_EQ(msgq_msg_init_size(&raw, 0), 0);
  msgq_msg_close(&raw);
  EXPECT_EQ(ctx->getRawContext(), nullptr);
}
