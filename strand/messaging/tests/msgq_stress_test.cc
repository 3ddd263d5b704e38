// One publisher and twelve subscriber processes on one queue: random payload sizes carrying a
// sequence number, their stream position and a checksum. No subscriber may ever see a corrupt
// or reordered payload, and a subscriber may miss messages only where the publisher lapped it.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <vector>

#include "strand/messaging/msgq.h"
#include "strand/messaging/tests/msgq_test_util.h"

namespace {

constexpr uint64_t NUM_MESSAGES = 200000;
constexpr size_t MIN_PAYLOAD = 32, MAX_PAYLOAD = 1024;
constexpr int NUM_SUBSCRIBERS = MSGQ_READER_SLOTS;
// These subscribers stop reading now and then until the publisher is a full queue ahead.
constexpr int NUM_SLOW = 3;
constexpr uint64_t SLOW_EVERY = 20000;
constexpr uint64_t SLOW_MARGIN = 40000;
constexpr int SUBSCRIBER_NICE = 10;

struct Head {
  uint64_t seq;
  uint64_t stream_offset;  // sum of the frame lengths of all earlier messages
  uint64_t checksum;       // of the bytes after the head
};

struct Result {
  uint64_t received;
  uint64_t gaps;
  uint64_t errors;
  char error[160];
};

uint64_t frame_length(uint64_t size) { return (size + 8 + 7) & ~uint64_t(7); }

uint64_t checksum(const char *p, size_t n) {
  uint64_t h = 1469598103934665603ull;
  for (size_t i = 0; i < n; i++) h = (h ^ uint8_t(p[i])) * 1099511628211ull;
  return h;
}

// The publisher's linear position: bytes written over all cycles, wrap gaps included.
uint64_t writer_position(msgq_queue_t *q) {
  uint64_t wp = q->write_pointer->load();
  return (wp >> 32) * q->size + (wp & 0xFFFFFFFF);
}

int run_subscriber(int index, Result *res) {
  // Yield to the publisher: a subscriber then finds several messages per wake-up, and the
  // wake-up signals sent meanwhile merge into one, which keeps the test short on two cores.
  errno = 0;
  if (nice(SUBSCRIBER_NICE) == -1 && errno != 0) return 5;
  msgq_queue_t q;
  if (msgq_new_queue(&q, "stress", MSGQ_QUEUE_SIZE) != 0) return 2;
  msgq_init_subscriber(&q);
  auto fail = [&](const std::string &why) {
    res->errors++;
    snprintf(res->error, sizeof(res->error), "%s", why.c_str());
  };

  bool have_last = false;
  Head last = {};
  uint64_t last_size = 0;
  for (;;) {
    msgq_pollitem_t item = {&q, 0};
    if (msgq_poll(&item, 1, 100) == 0) continue;
    msgq_msg_t msg;
    int r = msgq_msg_recv(&msg, &q);
    if (r <= 0) continue;

    Head h;
    bool ok = msg.size >= sizeof(Head);
    if (ok) {
      memcpy(&h, msg.data, sizeof(h));
      ok = h.checksum == checksum(msg.data + sizeof(Head), msg.size - sizeof(Head));
    }
    if (!ok) {
      fail("corrupt payload of size " + std::to_string(msg.size));
    } else if (have_last && h.seq <= last.seq) {
      fail("reordered: " + std::to_string(h.seq) + " after " + std::to_string(last.seq));
    } else if (have_last && h.seq != last.seq + 1) {
      res->gaps++;
      // The first missed message can only have been lost to a lap: the one received next was
      // written after the publisher overwrote it, close to a full data area later.
      uint64_t missed_at = last.stream_offset + frame_length(last_size);
      uint64_t distance = h.stream_offset - missed_at;
      if (distance < MSGQ_QUEUE_SIZE - 4 * frame_length(MAX_PAYLOAD)) {
        fail("gap without a lap: " + std::to_string(last.seq) + " -> " + std::to_string(h.seq) + ", " +
             std::to_string(distance) + " bytes apart");
      }
    }
    if (ok && h.seq >= NUM_MESSAGES) {  // an end marker, numbered on from the last message
      msgq_msg_close(&msg);
      break;
    }
    if (ok) {
      have_last = true;
      last = h;
      last_size = msg.size;
      res->received++;
    }
    msgq_msg_close(&msg);

    if (index < NUM_SLOW && res->received % SLOW_EVERY == 0 && last.seq + SLOW_MARGIN < NUM_MESSAGES) {
      // Fall behind by more than the whole queue so the publisher laps us. The messages still
      // to come are more than twice the queue, so this wait always ends early.
      uint64_t me = writer_position(&q);
      wait_until([&] { return writer_position(&q) > me + MSGQ_QUEUE_SIZE + frame_length(MAX_PAYLOAD); },
                 std::chrono::seconds(30));
    }
  }
  msgq_close_queue(&q);
  return 0;
}

}  // namespace

TEST(MsgqStress, TwelveSubscriberProcessesSeeNoCorruptionOrReordering) {
  TestPrefix prefix;
  void *shared = mmap(nullptr, sizeof(Result) * NUM_SUBSCRIBERS, PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(shared, MAP_FAILED);
  Result *results = static_cast<Result *>(shared);
  memset(results, 0, sizeof(Result) * NUM_SUBSCRIBERS);

  msgq_queue_t q;
  ASSERT_EQ(msgq_new_queue(&q, "stress", MSGQ_QUEUE_SIZE), 0);
  msgq_init_publisher(&q);

  std::vector<pid_t> children;
  for (int i = 0; i < NUM_SUBSCRIBERS; i++) {
    children.push_back(fork_child([i, results] { return run_subscriber(i, &results[i]); }));
  }
  ASSERT_TRUE(wait_until([&] { return q.num_readers->load() == NUM_SUBSCRIBERS; }));

  std::mt19937_64 rng(12345);
  std::uniform_int_distribution<size_t> size_dist(MIN_PAYLOAD, MAX_PAYLOAD);
  std::vector<char> buf(MAX_PAYLOAD);
  uint64_t stream_offset = 0;
  auto publish = [&](uint64_t seq, size_t size) {
    for (size_t i = sizeof(Head); i < size; i++) buf[i] = char(rng());
    Head h = {seq, stream_offset, checksum(buf.data() + sizeof(Head), size - sizeof(Head))};
    memcpy(buf.data(), &h, sizeof(h));
    msgq_msg_t msg;
    msg.data = buf.data();
    msg.size = size;
    stream_offset += frame_length(size);
    return msgq_msg_send(&msg, &q) == int(size);
  };
  for (uint64_t seq = 0; seq < NUM_MESSAGES; seq++) ASSERT_TRUE(publish(seq, size_dist(rng)));

  // End markers follow until every subscriber has seen one (a lapped one may miss the first).
  std::vector<int> status(NUM_SUBSCRIBERS, -1);
  std::vector<bool> exited(NUM_SUBSCRIBERS, false);
  auto all_exited = [&] {
    bool all = true;
    for (int i = 0; i < NUM_SUBSCRIBERS; i++) {
      int st = 0;
      if (!exited[i] && waitpid(children[i], &st, WNOHANG) == children[i]) {
        exited[i] = true;
        status[i] = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
      }
      all = all && exited[i];
    }
    return all;
  };
  uint64_t end_seq = NUM_MESSAGES;
  bool finished = wait_until([&] { return publish(end_seq++, sizeof(Head)) && all_exited(); },
                             std::chrono::seconds(30));
  for (int i = 0; i < NUM_SUBSCRIBERS; i++) {
    if (!exited[i]) {
      kill(children[i], SIGKILL);
      wait_child(children[i]);
    }
  }
  msgq_close_queue(&q);
  ASSERT_TRUE(finished) << "subscribers did not see the end";

  for (int i = 0; i < NUM_SUBSCRIBERS; i++) {
    SCOPED_TRACE("subscriber " + std::to_string(i));
    const Result &r = results[i];
    EXPECT_EQ(status[i], 0);
    EXPECT_EQ(r.errors, 0u) << r.error;
    EXPECT_GT(r.received, 0u);
    if (i < NUM_SLOW) {
      EXPECT_GT(r.gaps, 0u) << "the slow subscriber was never lapped";
    }
    printf("subscriber %2d: %6lu received, %4lu gaps\n", i, (unsigned long)r.received, (unsigned long)r.gaps);
  }
  munmap(shared, sizeof(Result) * NUM_SUBSCRIBERS);
}
