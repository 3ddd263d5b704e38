// Backend selection from the environment, and the connecting factories.

#include "strand/messaging/messaging.h"

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <typeindex>
#include <typeinfo>
#include <vector>

#include <gtest/gtest.h>

#include "strand/messaging/impl_fake.h"
#include "strand/messaging/impl_msgq.h"
#include "strand/messaging/impl_zmq.h"
#include "tests/support/child_process.h"
#include "tests/support/free_port.h"
#include "tests/support/scoped_env.h"
#include "tests/support/test_prefix.h"
#include "tests/support/wait.h"
#include "strand/messaging/tests/zmq_test_util.h"

namespace {

std::optional<std::string> value_or_unset(const char *value) {
  return value ? std::optional<std::string>(value) : std::nullopt;
}

// The three selecting variables set (null: removed) for a scope, then put back.
struct SelectionEnv {
  SelectionEnv(const char *zmq, const char *fake, const char *prefix)
      : zmq_("ZMQ", value_or_unset(zmq)),
        fake_("STRAND_FAKE", value_or_unset(fake)),
        prefix_("TAVRIN_PREFIX", value_or_unset(prefix)) {}
  ScopedEnv zmq_, fake_, prefix_;
};

// The class a factory must return, or null when the process must stop instead.
using Expected = const std::type_info *;
const Expected kAborts = nullptr;

struct SelectionCase {
  const char *zmq, *fake, *prefix;
  Expected context, sub, pub, poller;
};

template <typename T>
std::type_index made_by(T *(*factory)()) {
  std::unique_ptr<T> object(factory());
  return std::type_index(typeid(*object));
}

constexpr const char *kAbortText = "TAVRIN_PREFIX not supported with ZMQ backend";

TEST(FactorySelectionDeathTest, EnvironmentPicksTheBackend) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const SelectionCase cases[] = {
      // Default: the shared-memory queue, with or without a prefix.
      {nullptr, nullptr, nullptr, &typeid(MSGQContext), &typeid(MSGQSubSocket), &typeid(MSGQPubSocket),
       &typeid(MSGQPoller)},
      {nullptr, nullptr, "p", &typeid(MSGQContext), &typeid(MSGQSubSocket), &typeid(MSGQPubSocket),
       &typeid(MSGQPoller)},
      // ZMQ: its mere presence counts, even empty.
      {"1", nullptr, nullptr, &typeid(ZMQContext), &typeid(ZMQSubSocket), &typeid(ZMQPubSocket),
       &typeid(ZMQPoller)},
      {"", nullptr, nullptr, &typeid(ZMQContext), &typeid(ZMQSubSocket), &typeid(ZMQPubSocket),
       &typeid(ZMQPoller)},
      // STRAND_FAKE: subscribers and pollers only.
      {nullptr, "1", nullptr, &typeid(MSGQContext), &typeid(FakeSubSocket<MSGQSubSocket>),
       &typeid(MSGQPubSocket), &typeid(FakePoller)},
      {nullptr, "", "p", &typeid(MSGQContext), &typeid(FakeSubSocket<MSGQSubSocket>), &typeid(MSGQPubSocket),
       &typeid(FakePoller)},
      {"1", "1", nullptr, &typeid(ZMQContext), &typeid(FakeSubSocket<ZMQSubSocket>), &typeid(ZMQPubSocket),
       &typeid(FakePoller)},
      // ZMQ with a prefix stops whoever asks, except the fake poller, which does not ask.
      {"1", nullptr, "p", kAborts, kAborts, kAborts, kAborts},
      {"", nullptr, "", kAborts, kAborts, kAborts, kAborts},
      {"1", "1", "p", kAborts, kAborts, kAborts, &typeid(FakePoller)},
  };

  for (const SelectionCase &c : cases) {
    SCOPED_TRACE(std::string("ZMQ=") + (c.zmq ? c.zmq : "(unset)") + " STRAND_FAKE=" + (c.fake ? c.fake : "(unset)") +
                 " TAVRIN_PREFIX=" + (c.prefix ? c.prefix : "(unset)"));
    SelectionEnv env(c.zmq, c.fake, c.prefix);
    EXPECT_EQ(messaging_use_fake(), c.fake != nullptr);

    struct Factory {
      Expected expected;
      std::type_index (*make)();
    } factories[] = {
        {c.context, [] { return made_by<Context>(&Context::create); }},
        {c.sub, [] { return made_by<SubSocket>(&SubSocket::create); }},
        {c.pub, [] { return made_by<PubSocket>(&PubSocket::create); }},
        {c.poller, [] { return made_by<Poller>(&Poller::create); }},
    };
    for (const Factory &f : factories) {
      if (f.expected == kAborts) {
        EXPECT_EXIT(f.make(), ::testing::ExitedWithCode(1), kAbortText);
      } else {
        EXPECT_EQ(f.make(), std::type_index(*f.expected));
      }
    }

    if (c.zmq && c.prefix) {
      EXPECT_EXIT(messaging_use_zmq(), ::testing::ExitedWithCode(1), kAbortText);
    } else {
      EXPECT_EQ(messaging_use_zmq(), c.zmq != nullptr);
    }
  }
}

TEST(ConnectingFactories, ConnectOnSuccessAndRegisterInOrder) {
  TestPrefix prefix;
  std::unique_ptr<Context> context(Context::create());
  std::unique_ptr<PubSocket> pub(PubSocket::create(context.get(), "carState", true));
  std::unique_ptr<SubSocket> sub1(SubSocket::create(context.get(), "carState", "127.0.0.1", false, true));
  std::unique_ptr<SubSocket> sub2(SubSocket::create(context.get(), "gpsLocation", "127.0.0.1", true, true));
  ASSERT_TRUE(pub && sub1 && sub2);

  std::unique_ptr<Poller> poller(Poller::create({sub2.get(), sub1.get()}));
  char text[] = "x";
  ASSERT_EQ(pub->send(text, 1), 1);
  EXPECT_EQ(poller->poll(1000), std::vector<SubSocket *>{sub1.get()});
  std::unique_ptr<Message> msg(sub1->receive(true));
  ASSERT_NE(msg, nullptr);
  EXPECT_EQ(msg->getSize(), 1u);
}

// The error names the endpoint the caller passed, not a file or transport address.
TEST(ConnectingFactories, FailureReportsTheEndpointAndReturnsNull) {
  {
    // A prefix below a directory that does not exist: only the prefix's own directory is made
    // on demand, so the queue file cannot be opened.
    SelectionEnv env(nullptr, nullptr, "roadrec_no_such_parent_dir/prefix");
    std::unique_ptr<Context> context(Context::create());
    testing::internal::CaptureStderr();
    EXPECT_EQ(SubSocket::create(context.get(), "carState", "127.0.0.1", false, true), nullptr);
    EXPECT_EQ(PubSocket::create(context.get(), "carState", true), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error, failed to connect SubSocket to carState: No such file or directory\n"
              "Error, failed to bind PubSocket to carState: No such file or directory\n");
  }
  {
    SelectionEnv env("1", nullptr, nullptr);
    std::unique_ptr<Context> context(Context::create());
    const std::string port = std::to_string(free_tcp_port());
    std::unique_ptr<PubSocket> first(PubSocket::create(context.get(), port, false));
    ASSERT_NE(first, nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(PubSocket::create(context.get(), port, false), nullptr);
    EXPECT_EQ(SubSocket::create(context.get(), "notaport", "127.0.0.1", false, false), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error, failed to bind PubSocket to " + port + ": Address already in use\n" +
                  "Error, failed to connect SubSocket to notaport: Invalid argument\n");
  }
}

TEST(ConnectingFactories, ExceptionsFromConnectPropagate) {
  {
    SelectionEnv env("1", nullptr, nullptr);
    std::unique_ptr<Context> context(Context::create());
    EXPECT_THROW(SubSocket::create(context.get(), "CarState", "127.0.0.1", false, true), std::out_of_range);
    EXPECT_THROW(PubSocket::create(context.get(), "CarState", true), std::out_of_range);
  }
  {
    TestPrefix prefix;
    SocketEventHandle::toggle_fake_events(true);
    std::filesystem::create_directories(prefix.dir() + "/strand_events/carState");
    std::unique_ptr<Context> context(Context::create());
    EXPECT_THROW(SubSocket::create(context.get(), "carState", "127.0.0.1", false, true), std::runtime_error);
    SocketEventHandle::toggle_fake_events(false);
  }
}

// Both backends through the factories alone, end to end.
TEST(ConnectingFactories, ZeroMqPairThroughFactories) {
  SelectionEnv env("", nullptr, nullptr);
  std::unique_ptr<Context> context(Context::create());
  const std::string port = std::to_string(free_tcp_port());
  std::unique_ptr<PubSocket> pub(PubSocket::create(context.get(), port, false));
  std::unique_ptr<SubSocket> sub(SubSocket::create(context.get(), port, "127.0.0.1", false, false));
  ASSERT_TRUE(pub && sub);
  ASSERT_TRUE(messaging_test::warm_up(pub.get(), sub.get()));
  std::unique_ptr<Poller> poller(Poller::create({sub.get()}));
  char text[] = "over tcp";
  ASSERT_EQ(pub->send(text, sizeof(text)), static_cast<int>(sizeof(text)));
  EXPECT_EQ(poller->poll(10000), std::vector<SubSocket *>{sub.get()});
  std::unique_ptr<Message> msg(sub->receive(true));
  ASSERT_NE(msg, nullptr);
  EXPECT_STREQ(msg->getData(), "over tcp");
}

}  // namespace
