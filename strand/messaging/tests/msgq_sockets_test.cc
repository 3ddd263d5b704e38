// The messaging interfaces over the shared-memory queue, through the factories.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "strand/messaging/impl_msgq.h"
#include "strand/messaging/messaging.h"
#include "strand/messaging/tests/msgq_test_util.h"

namespace {

std::string payload_for(int i) { return "message " + std::to_string(i) + std::string(i % 37, 'x'); }

class MsgqSockets : public ::testing::Test {
 protected:
  ShmPrefix prefix;
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
