// The ZeroMQ backend over real TCP sockets on this machine. Every test binds a port the kernel
// just reported free (a caller-made endpoint), so these tests run in parallel with each other.

#include "strand/messaging/impl_zmq.h"

#include <cerrno>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/child_process.h"
#include "tests/support/free_port.h"
#include "tests/support/test_prefix.h"
#include "tests/support/wait.h"
#include "strand/messaging/tests/zmq_test_util.h"

namespace {

using messaging_test::ZmqPair;

TEST(ZMQMessage, OwnsACopyAndCloseEmptiesIt) {
  char text[] = "payload";
  ZMQMessage msg;
  msg.init(text, sizeof(text));
  text[0] = 'X';
  ASSERT_EQ(msg.getSize(), sizeof(text));
  EXPECT_STREQ(msg.getData(), "payload");
  msg.close();
  EXPECT_EQ(msg.getSize(), 0u);
  msg.init(size_t(0));  // an empty payload, as ZeroMQ can deliver, is freed like any other
  EXPECT_EQ(msg.getSize(), 0u);
}

TEST(ZMQSockets, DeliverInOrderWithBinaryEmptyAndLargePayloads) {
  ZmqPair pair(free_tcp_port());
  ASSERT_TRUE(pair.ready());

  std::vector<std::string> payloads = {std::string("a\0b\xff", 4), "", std::string(1 << 20, 'L'), "last"};
  for (std::string &p : payloads) {
    ASSERT_EQ(pair.pub->send(p.data(), p.size()), static_cast<int>(p.size()));
  }
  for (const std::string &expected : payloads) {
    std::unique_ptr<Message> msg(pair.sub->receive(false));
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(std::string(msg->getData(), msg->getSize()), expected);
  }

  ZMQMessage out;
  char text[] = "via sendMessage";
  out.init(text, sizeof(text));
  EXPECT_EQ(pair.pub->sendMessage(&out), static_cast<int>(sizeof(text)));
  std::unique_ptr<Message> msg(pair.sub->receive(false));
  ASSERT_NE(msg, nullptr);
  EXPECT_STREQ(msg->getData(), "via sendMessage");
}

TEST(ZMQSockets, ReceiveReturnsNullWhenNothingCame) {
  ZmqPair pair(free_tcp_port());
  ASSERT_TRUE(pair.ready());

  errno = 0;
  EXPECT_EQ(pair.sub->receive(true), nullptr);
  EXPECT_EQ(errno, EAGAIN);

  pair.sub->setTimeout(20);
  errno = 0;
  EXPECT_EQ(pair.sub->receive(false), nullptr);
  EXPECT_EQ(errno, EAGAIN);
}

// A conflating subscriber keeps only the newest message. Arrival over TCP cannot be observed
// from outside the socket, so a burst is published and read afterwards: the reader must end on
// the newest message, never go back, and must have skipped some of the burst (a plain
// subscriber delivers every one of them).
TEST(ZMQSockets, ConflateDeliversOnlyTheNewest) {
  const int port = free_tcp_port();
  ZMQContext context;
  ZMQPubSocket pub;
  ZMQSubSocket conflating;
  ASSERT_EQ(pub.connect(&context, std::to_string(port), false), 0);
  ASSERT_EQ(conflating.connect(&context, std::to_string(port), "127.0.0.1", true, false), 0);
  ASSERT_TRUE(messaging_test::warm_up(&pub, &conflating));

  const int kBurst = 100;
  for (int i = 1; i <= kBurst; i++) {
    std::string text = std::to_string(i);
    pub.send(text.data(), text.size());
  }

  conflating.setTimeout(5000);
  std::vector<int> received;
  while (received.empty() || received.back() < kBurst) {
    std::unique_ptr<Message> msg(conflating.receive(false));
    ASSERT_NE(msg, nullptr) << "the newest message never came";
    int value = std::stoi(std::string(msg->getData(), msg->getSize()));
    if (!received.empty()) {
      ASSERT_GT(value, received.back());
    }
    received.push_back(value);
  }
  EXPECT_EQ(received.back(), kBurst);
  EXPECT_LT(received.size(), static_cast<size_t>(kBurst));
  EXPECT_EQ(conflating.receive(true), nullptr);
}

TEST(ZMQSockets, SecondPublisherOnAPortFailsWithAddressInUse) {
  const int port = free_tcp_port();
  ZMQContext context;
  ZMQPubSocket first, second;
  ASSERT_EQ(first.connect(&context, std::to_string(port), false), 0);
  EXPECT_EQ(second.connect(&context, std::to_string(port), false), -1);
  EXPECT_EQ(errno, EADDRINUSE);
}

TEST(ZMQSockets, UnknownTopicThrowsOutOfRange) {
  ZMQContext context;
  ZMQSubSocket sub;
  ZMQPubSocket pub;
  EXPECT_THROW(sub.connect(&context, "CarState", "127.0.0.1", false, true), std::out_of_range);
  EXPECT_THROW(pub.connect(&context, "noSuchTopic", true), std::out_of_range);
}

TEST(ZMQPoller, ReportsSocketsWithMessagesInRegistrationOrder) {
  ZmqPair a(free_tcp_port()), b(free_tcp_port()), c(free_tcp_port());
  ASSERT_TRUE(a.ready() && b.ready() && c.ready());
  ZMQPoller poller;
  poller.registerSocket(c.sub.get());
  poller.registerSocket(b.sub.get());
  poller.registerSocket(a.sub.get());

  EXPECT_TRUE(poller.poll(0).empty());

  char text[] = "x";
  a.pub->send(text, 1);
  c.pub->send(text, 1);
  // Both messages travel independently; wait (bounded) until the poller has seen both.
  std::vector<SubSocket *> ready;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (ready.size() < 2 && ms_until(deadline) > 0) {
    ready = poller.poll(100);
    for (SubSocket *s : ready) EXPECT_NE(s, b.sub.get());
  }
  EXPECT_EQ(ready, (std::vector<SubSocket *>{c.sub.get(), a.sub.get()}));
}

TEST(ZMQPollerDeathTest, TheHundredTwentyEighthRegistrationStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ZMQContext context;
  ZMQPoller poller;
  std::vector<std::unique_ptr<ZMQSubSocket>> subs;
  for (int i = 0; i < 128; i++) {
    subs.push_back(std::make_unique<ZMQSubSocket>());
    // Connecting is asynchronous: nobody needs to listen on the port.
    ASSERT_EQ(subs.back()->connect(&context, "1", "127.0.0.1", false, false), 0);
  }
  for (int i = 0; i < 127; i++) poller.registerSocket(subs[i].get());
  EXPECT_DEATH(poller.registerSocket(subs[127].get()), "num_polls \\+ 1 < MAX_POLLERS");
}

TEST(ZMQPubSocketDeathTest, PublisherUsedAfterForkStopsTheChild) {
  // Plain fork, so that the child holds the object bound by this process.
  GTEST_FLAG_SET(death_test_style, "fast");
  ZMQContext context;
  ZMQPubSocket pub;
  ASSERT_EQ(pub.connect(&context, std::to_string(free_tcp_port()), false), 0);
  char text[] = "x";
  EXPECT_DEATH(pub.send(text, 1), "pid == getpid\\(\\)");
  ZMQMessage msg;
  msg.init(text, 1);
  EXPECT_DEATH(pub.sendMessage(&msg), "pid == getpid\\(\\)");
  // The binding process itself still publishes.
  EXPECT_EQ(pub.send(text, 1), 1);
}

TEST(ZMQPubSocketDeathTest, AllReadersUpdatedIsNotAvailable) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ZMQPubSocket pub;
  EXPECT_DEATH(pub.all_readers_updated(), "false");
}

}  // namespace
