// Lock-step subscribers over both backends, with this test as the controlling process.

#include "strand/messaging/impl_fake.h"

#include <sys/mman.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "strand/messaging/event.h"
#include "strand/messaging/impl_msgq.h"
#include "strand/messaging/impl_zmq.h"
#include "strand/messaging/tests/machine_event_files.h"
#include "tests/support/child_process.h"
#include "tests/support/free_port.h"
#include "tests/support/scoped_env.h"
#include "tests/support/test_prefix.h"
#include "tests/support/wait.h"
#include "strand/messaging/tests/zmq_test_util.h"

namespace {

std::string payload_of(Message *msg) { return std::string(msg->getData(), msg->getSize()); }

// The event record of `endpoint` as a subscriber with identifier `identifier` sees it.
class MappedRecord {
 public:
  MappedRecord(const std::string &endpoint, const std::string &identifier) {
    char *mem = nullptr;
    event_state_shm_mmap(endpoint, identifier, &mem, &path_);
    state_ = reinterpret_cast<EventState *>(mem);
  }
  ~MappedRecord() { munmap(state_, sizeof(EventState)); }
  MappedRecord(const MappedRecord &) = delete;
  MappedRecord &operator=(const MappedRecord &) = delete;
  EventState *operator->() { return state_; }
  const std::string &path() const { return path_; }

 private:
  EventState *state_;
  std::string path_;
};

class FakeSubSocketTest : public ::testing::Test {
 protected:
  void TearDown() override { SocketEventHandle::set_fake_prefix(""); }
  TestPrefix prefix;
  MSGQContext context;
};

TEST_F(FakeSubSocketTest, DisabledRecordReceivesLikeThePlainSubscriber) {
  SocketEventHandle::set_fake_prefix("plain");
  MSGQPubSocket pub;
  ASSERT_EQ(pub.connect(&context, "carState", true), 0);
  FakeSubSocket<MSGQSubSocket> sub;
  ASSERT_EQ(sub.connect(&context, "carState", "127.0.0.1", false, true), 0);
  EXPECT_TRUE(std::filesystem::exists(prefix.dir() + "/strand_events/plain/carState"));

  EXPECT_EQ(sub.receive(true), nullptr);
  char text[] = "hello";
  ASSERT_EQ(pub.send(text, 5), 5);
  std::unique_ptr<Message> msg(sub.receive(true));
  ASSERT_NE(msg, nullptr);
  EXPECT_EQ(payload_of(msg.get()), "hello");
  EXPECT_NE(sub.getRawSocket(), nullptr);  // the backend's queue handle
}

TEST_F(FakeSubSocketTest, EventFileErrorsLeaveConnect) {
  std::filesystem::create_directories(prefix.dir() + "/strand_events/carState");
  FakeSubSocket<MSGQSubSocket> sub;
  try {
    sub.connect(&context, "carState", "127.0.0.1", false, true);
    FAIL() << "connect did not throw";
  } catch (const std::runtime_error &e) {
    EXPECT_STREQ(e.what(), "Could not open shared memory file.");
  }
}

TEST_F(FakeSubSocketTest, EnabledRecordWithoutDescriptorsFailsInReceive) {
  MSGQPubSocket pub;
  ASSERT_EQ(pub.connect(&context, "carState", true), 0);
  FakeSubSocket<MSGQSubSocket> sub;
  {
    // What a record looks like when no controller created descriptors for this process.
    MappedRecord record("carState", "");
    record->fds[RECV_CALLED] = -1;
    record->fds[RECV_READY] = -1;
    record->enabled = true;
  }
  ASSERT_EQ(sub.connect(&context, "carState", "127.0.0.1", false, true), 0);
  try {
    delete sub.receive(true);
    FAIL() << "receive did not throw";
  } catch (const std::runtime_error &e) {
    EXPECT_STREQ(e.what(), "Event does not have valid file descriptor.");
  }
}

TEST(FakeSubSocket, ReceiveBeforeConnectReturnsNullOnEveryBackend) {
  FakeSubSocket<MSGQSubSocket> msgq_sub;
  FakeSubSocket<ZMQSubSocket> zmq_sub;
  for (SubSocket *sub : std::vector<SubSocket *>{&msgq_sub, &zmq_sub}) {
    for (bool non_blocking : {true, false}) {
      std::unique_ptr<Message> msg(sub->receive(non_blocking));
      EXPECT_EQ(msg, nullptr);
      EXPECT_NE(errno, 0);
    }
  }
}

TEST(FakePoller, ReportsEverySocketAtOnceInRegistrationOrder) {
  MSGQSubSocket a, b, c;  // never connected: the fake poller looks at nothing
  FakePoller poller;
  EXPECT_TRUE(poller.poll(-1).empty());
  poller.registerSocket(&b);
  poller.registerSocket(&a);
  poller.registerSocket(&c);
  EXPECT_EQ(poller.poll(-1), (std::vector<SubSocket *>{&b, &a, &c}));
  EXPECT_EQ(poller.poll(0), (std::vector<SubSocket *>{&b, &a, &c}));
}

// How long the controller watches for a delivery that must not happen yet. A subscriber that
// were not held would print within a few milliseconds of the publish.
constexpr int kEarlyDeliveryWindowMs = 100;
constexpr int kStepTimeoutSec = 10;

// The controller steps a subscriber process, started with STRAND_FAKE and STRAND_FAKE_PREFIX and
// inheriting the eventfds, through several messages on the shared-memory backend. Each message
// is published only after the subscriber has called receive, and must not reach it before
// "receive ready".
TEST(FakeLockStep, ControllerStepsASubscriberProcess) {
  TestPrefix prefix;
  const std::string identifier = "step";
  SocketEventHandle handle("carState", identifier, true);
  handle.set_enabled(true);
  const Event called = handle.recv_called();
  const Event ready = handle.recv_ready();

  MSGQContext context;
  MSGQPubSocket pub;
  ASSERT_EQ(pub.connect(&context, "carState", true), 0);

  ChildProcess child({FAKE_SUBSCRIBER, "carState"},
                     {{"STRAND_FAKE", "1"}, {"STRAND_FAKE_PREFIX", identifier}});
  ASSERT_TRUE(child.started());
  std::string line;
  ASSERT_TRUE(child.read_line(&line, kStepTimeoutSec * 1000));
  ASSERT_EQ(line, "connected");

  auto publish = [&](const std::string &text) {
    ASSERT_EQ(pub.send(const_cast<char *>(text.data()), text.size()), static_cast<int>(text.size()));
  };

  for (int step = 1; step <= 4; step++) {
    SCOPED_TRACE(step);
    ASSERT_NO_THROW(called.wait(kStepTimeoutSec));
    EXPECT_EQ(called.clear(), 1);  // exactly one receive call per step
    const std::string text = "msg-" + std::to_string(step);
    publish(text);
    EXPECT_FALSE(child.read_line(&line, kEarlyDeliveryWindowMs)) << "delivered before receive ready: " << line;
    ready.set();
    ASSERT_TRUE(child.read_line(&line, kStepTimeoutSec * 1000));
    EXPECT_EQ(line, "got " + text);
  }

  // Switching lock-step off releases the receive already held and lets the next ones through.
  ASSERT_NO_THROW(called.wait(kStepTimeoutSec));
  called.clear();
  handle.set_enabled(false);
  publish("free");
  ready.set();
  ASSERT_TRUE(child.read_line(&line, kStepTimeoutSec * 1000));
  EXPECT_EQ(line, "got free");
  publish("quit");
  ASSERT_TRUE(child.read_line(&line, kStepTimeoutSec * 1000));
  EXPECT_EQ(line, "got quit");
  int status = child.wait_exit(kStepTimeoutSec * 1000);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_FALSE(called.peek());  // the unheld receives never signalled
}

// The same hand-over with a ZeroMQ subscriber, held in a thread of this process.
TEST(FakeLockStep, ZeroMqSubscriberWaitsForReceiveReady) {
  // No TAVRIN_PREFIX with ZeroMQ: the event file goes under a unique identifier instead.
  ScopedEnv no_prefix("TAVRIN_PREFIX", std::nullopt);
  const std::string identifier = unique_name("roadrec_zmqstep");
  MachineEventFiles files(identifier);
  struct Cleanup {
    ~Cleanup() { SocketEventHandle::set_fake_prefix(""); }
  } cleanup;
  SocketEventHandle::set_fake_prefix(identifier);

  const std::string port = std::to_string(free_tcp_port());
  SocketEventHandle handle(port, identifier, true);
  ZMQContext context;
  ZMQPubSocket pub;
  FakeSubSocket<ZMQSubSocket> sub;
  ASSERT_EQ(pub.connect(&context, port, false), 0);
  ASSERT_EQ(sub.connect(&context, port, "127.0.0.1", false, false), 0);
  // Lock-step is off while the subscription is established.
  ASSERT_TRUE(messaging_test::warm_up(&pub, &sub));
  sub.setTimeout(kStepTimeoutSec * 1000);

  handle.set_enabled(true);
  const Event called = handle.recv_called();
  const Event ready = handle.recv_ready();
  std::atomic<bool> received{false};
  std::string payload;
  std::thread subscriber([&] {
    std::unique_ptr<Message> msg(sub.receive(false));
    if (msg) payload = payload_of(msg.get());
    received = true;
  });
  struct Join {
    std::thread &thread;
    Event ready;
    ~Join() {
      if (thread.joinable()) {
        if (!ready.peek()) ready.set();  // never leave the subscriber held
        thread.join();
      }
    }
  } join{subscriber, ready};

  ASSERT_NO_THROW(called.wait(kStepTimeoutSec));
  EXPECT_EQ(called.clear(), 1);
  char text[] = "held";
  pub.send(text, 4);
  // Give a wrongly unheld subscriber the time to receive it.
  auto window_end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kEarlyDeliveryWindowMs);
  while (!received && std::chrono::steady_clock::now() < window_end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_FALSE(received);
  ready.set();
  subscriber.join();
  EXPECT_EQ(payload, "held");
  EXPECT_FALSE(ready.peek());  // the subscriber consumed its go-ahead
}

}  // namespace
