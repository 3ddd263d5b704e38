// A Python peer written from the file format alone reads what our publisher writes and
// writes what our subscriber reads, across several wraps of a small queue.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "strand/messaging/msgq.h"
#include "strand/messaging/tests/msgq_test_util.h"

namespace {

constexpr size_t DATA_SIZE = 1024;
constexpr int COUNT = 60;

// The same payloads as the peer's payload(i): 1 to 300 bytes.
std::string payload(int i) {
  std::string p(1 + (i * 37) % 300, '\0');
  for (size_t k = 0; k < p.size(); k++) p[k] = char((i * 7 + k) & 0xFF);
  return p;
}

std::string hex(const std::string &s) {
  std::string out;
  char buf[3];
  for (unsigned char c : s) {
    snprintf(buf, sizeof(buf), "%02x", c);
    out += buf;
  }
  return out;
}

pid_t start_peer(const std::vector<std::string> &args) {
  std::vector<std::string> argv = {PYTHON3, MSGQ_INTEROP_PEER};
  argv.insert(argv.end(), args.begin(), args.end());
  return spawn_program(argv, {}, true, "", -1, -1, -1);
}

class MsgqInterop : public ::testing::Test {
 protected:
  TestPrefix prefix;
  msgq_queue_t q;
  void SetUp() override { ASSERT_EQ(msgq_new_queue(&q, "interop", DATA_SIZE), 0); }
  void TearDown() override { msgq_close_queue(&q); }
};

}  // namespace

TEST_F(MsgqInterop, OutsideReaderFollowsOurPublisher) {
  msgq_init_publisher(&q);
  std::string out = prefix.path("peer_out.txt");
  pid_t peer = start_peer({"read", prefix.path("interop"), std::to_string(DATA_SIZE), std::to_string(COUNT), out});
  // The peer counts itself in first and marks its slot valid last: only then is its read
  // position set, and the first message is for it.
  ASSERT_TRUE(wait_until([&] { return q.num_readers->load() == 1 && q.read_valids[0]->load() == 1; }));
  ASSERT_TRUE(wait_until([&] { return msgq_all_readers_updated(&q); }));

  for (int i = 0; i < COUNT; i++) {
    std::string p = payload(i);
    msgq_msg_t msg;
    msg.data = p.data();
    msg.size = p.size();
    ASSERT_EQ(msgq_msg_send(&msg, &q), int(p.size()));
    // The peer's read pointer is what tells us it has the message.
    ASSERT_TRUE(wait_until([&] { return msgq_all_readers_updated(&q); })) << "message " << i;
  }
  ASSERT_EQ(wait_child(peer), 0);
  EXPECT_GE(q.write_pointer->load() >> 32, 5u) << "the queue should have wrapped several times";

  std::ifstream f(out);
  std::string line;
  ASSERT_TRUE(std::getline(f, line));
  EXPECT_EQ(line, "registered");
  for (int i = 0; i < COUNT; i++) {
    ASSERT_TRUE(std::getline(f, line)) << "message " << i;
    EXPECT_EQ(line, hex(payload(i))) << "message " << i;
  }
}

TEST_F(MsgqInterop, OurSubscriberFollowsAnOutsidePublisher) {
  pid_t peer = start_peer({"write", prefix.path("interop"), std::to_string(DATA_SIZE), std::to_string(COUNT)});
  // Register only once the peer has taken the queue over (which frees every slot).
  ASSERT_TRUE(wait_until([&] { return q.write_uid->load() != 0; }));
  msgq_init_subscriber(&q);

  for (int i = 0; i < COUNT; i++) {
    msgq_pollitem_t item = {&q, 0};
    ASSERT_TRUE(wait_until([&] { return msgq_poll(&item, 1, 100) == 1; })) << "message " << i;
    msgq_msg_t msg;
    ASSERT_GT(msgq_msg_recv(&msg, &q), 0);
    EXPECT_EQ(std::string(msg.data, msg.size), payload(i)) << "message " << i;
    msgq_msg_close(&msg);
  }
  EXPECT_EQ(wait_child(peer), 0);
  EXPECT_GE(q.write_pointer->load() >> 32, 5u);
}

// An outside reader that reads only when woken: our publisher must find its thread (in a
// process that maps the queue) and signal it for every frame it waits for.
TEST_F(MsgqInterop, OutsideReaderIsWokenForEveryMessage) {
  msgq_init_publisher(&q);
  pid_t peer = start_peer({"wake", prefix.path("interop"), std::to_string(DATA_SIZE), std::to_string(COUNT)});
  ASSERT_TRUE(wait_until([&] { return q.num_readers->load() == 1 && q.read_valids[0]->load() == 1; }));
  for (int i = 0; i < COUNT; i++) {
    std::string p = payload(i);
    msgq_msg_t msg;
    msg.data = p.data();
    msg.size = p.size();
    ASSERT_EQ(msgq_msg_send(&msg, &q), int(p.size()));
    // Caught up before the next one, so that it is asleep and needs the wake-up.
    ASSERT_TRUE(wait_until([&] { return msgq_all_readers_updated(&q); })) << "message " << i;
  }
  EXPECT_EQ(wait_child(peer), 0);
}
