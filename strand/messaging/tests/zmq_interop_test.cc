// The ZeroMQ backend against an independent client: Python's zmq module on the real service
// port of carState (8025), so the port table and the wire format are both checked. These
// tests share the fixed port and hold a CTest resource lock for it.

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "strand/messaging/impl_zmq.h"
#include "tests/support/child_process.h"
#include "tests/support/free_port.h"
#include "tests/support/test_prefix.h"
#include "tests/support/wait.h"

namespace {

constexpr int kTimeoutMs = 10000;

std::string hex(const std::string &bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

TEST(ZMQInterop, PythonSubscriberReceivesWhatWePublishOnCarState) {
  const char *script = R"(
import zmq
ctx = zmq.Context()
s = ctx.socket(zmq.SUB)
s.setsockopt(zmq.SUBSCRIBE, b"")
s.setsockopt(zmq.RCVTIMEO, 10000)
s.connect("tcp://127.0.0.1:8025")
print("ready", flush=True)
print(s.recv().hex(), flush=True)
)";
  ZMQContext context;
  ZMQPubSocket pub;
  ASSERT_EQ(pub.connect(&context, "carState", true), 0);

  ChildProcess python({PYTHON3, "-c", script});
  ASSERT_TRUE(python.started());
  std::string line;
  ASSERT_TRUE(python.read_line(&line, kTimeoutMs));
  ASSERT_EQ(line, "ready");

  // The subscription reaches us asynchronously: publish until the reader reports a message.
  const std::string payload("gear\0\x01\xfe\xff", 8);
  bool got = false;
  for (int i = 0; i < kTimeoutMs / 20 && !got; i++) {
    pub.send(const_cast<char *>(payload.data()), payload.size());
    got = python.read_line(&line, 20);
  }
  ASSERT_TRUE(got);
  EXPECT_EQ(line, hex(payload));
  EXPECT_EQ(python.wait_exit(kTimeoutMs), 0);
}

TEST(ZMQInterop, OurSubscriberReceivesFromAPythonPublisherOnCarState) {
  const char *script = R"(
import time, zmq
ctx = zmq.Context()
s = ctx.socket(zmq.PUB)
s.bind("tcp://*:8025")
print("bound", flush=True)
deadline = time.time() + 10
while time.time() < deadline:
    s.send(b"py\x00\xffstate")
    time.sleep(0.01)
)";
  ChildProcess python({PYTHON3, "-c", script});
  ASSERT_TRUE(python.started());
  std::string line;
  ASSERT_TRUE(python.read_line(&line, kTimeoutMs));
  ASSERT_EQ(line, "bound");

  ZMQContext context;
  ZMQSubSocket sub;
  ASSERT_EQ(sub.connect(&context, "carState", "127.0.0.1", false, true), 0);
  sub.setTimeout(kTimeoutMs);
  std::unique_ptr<Message> msg(sub.receive(false));
  ASSERT_NE(msg, nullptr);
  EXPECT_EQ(std::string(msg->getData(), msg->getSize()), std::string("py\0\xffstate", 9));
}

}  // namespace
