// The shared-memory queue through its C-style functions: file layout, wrap rule, readers
// that are lapped, evicted or displaced, and the size limits.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/syscall.h>
#include <thread>
#include <vector>

#include "strand/messaging/msgq.h"
#include "strand/messaging/tests/msgq_test_util.h"

namespace {

// One mapped queue handle, closed on destruction.
class Queue {
 public:
  Queue(const char *name, size_t size) { EXPECT_EQ(msgq_new_queue(&q_, name, size), 0); }
  ~Queue() { msgq_close_queue(&q_); }
  Queue(const Queue &) = delete;
  Queue &operator=(const Queue &) = delete;
  msgq_queue_t *operator->() { return &q_; }
  msgq_queue_t *get() { return &q_; }

 private:
  msgq_queue_t q_;
};

// The next message as a string; "" when nothing is new.
std::string recv(msgq_queue_t *q) {
  msgq_msg_t msg;
  int r = msgq_msg_recv(&msg, q);
  EXPECT_GE(r, 0);
  std::string out(msg.data, msg.data + msg.size);
  msgq_msg_close(&msg);
  return out;
}

std::vector<std::string> recv_all(msgq_queue_t *q) {
  std::vector<std::string> out;
  for (std::string m = recv(q); !m.empty(); m = recv(q)) out.push_back(m);
  return out;
}

uint64_t write_pointer(msgq_queue_t *q) { return q->write_pointer->load(); }
uint64_t packed(uint32_t cycles, uint32_t offset) { return (uint64_t(cycles) << 32) | offset; }

class MsgqQueue : public ::testing::Test {
 protected:
  TestPrefix prefix;
};

}  // namespace

TEST_F(MsgqQueue, FileLayoutSeenByAnOutsideReader) {
  Queue pub("layout", 4096);
  msgq_init_publisher(pub.get());
  Queue sub("layout", 4096);
  msgq_init_subscriber(sub.get());
  ASSERT_EQ(send_text(pub.get(), "abc"), 3);

  // Read the file with plain file I/O, as a process built from the same description would.
  std::ifstream f(prefix.path("layout"), std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  ASSERT_EQ(bytes.size(), 312u + 4096u);
  auto word = [&](size_t off) {
    uint64_t v;
    memcpy(&v, bytes.data() + off, 8);
    return v;
  };
  const uint64_t tid = uint64_t(syscall(SYS_gettid));
  EXPECT_EQ(word(0), 1u);                       // num_readers
  EXPECT_EQ(word(8), packed(0, 16));            // one 16-byte frame written
  EXPECT_EQ(word(16) & 0xFFFFFFFF, tid);        // write_uid names the publisher's thread
  EXPECT_EQ(word(16), pub->write_uid_local);
  EXPECT_EQ(word(24), packed(0, 0));            // read_pointers[0]: not read yet
  EXPECT_EQ(word(120), 1u);                     // read_valids[0]
  EXPECT_EQ(word(216), sub->read_uid_local);    // read_uids[0]
  EXPECT_EQ(word(216) & 0xFFFFFFFF, tid);
  EXPECT_EQ(int64_t(word(312)), 3);             // frame size word
  EXPECT_EQ(std::string(bytes.data() + 320, 3), "abc");

  EXPECT_EQ(recv(sub.get()), "abc");
  EXPECT_EQ(sub->read_pointers[0]->load(), packed(0, 16));
}

TEST_F(MsgqQueue, UidsAreRandomAboveTheThreadId) {
  uint64_t a = msgq_get_uid(), b = msgq_get_uid();
  EXPECT_EQ(a & 0xFFFFFFFF, uint64_t(syscall(SYS_gettid)));
  EXPECT_NE(a, b);
}

TEST_F(MsgqQueue, MissingPrefixDirectoryIsMadeButNotItsParents) {
  // The prefix's own directory appears on demand...
  const std::string fresh = prefix.name() + "/fresh";
  setenv("TAVRIN_PREFIX", fresh.c_str(), 1);
  msgq_queue_t made;
  ASSERT_EQ(msgq_new_queue(&made, "x", 1024), 0);
  EXPECT_TRUE(std::ifstream(prefix.path("fresh/x")).good());
  msgq_close_queue(&made);

  // ...but a missing parent is a mistake the open reports.
  const std::string deeper = prefix.name() + "/missing/deeper";
  setenv("TAVRIN_PREFIX", deeper.c_str(), 1);
  msgq_queue_t q;
  testing::internal::CaptureStdout();
  EXPECT_EQ(msgq_new_queue(&q, "x", 1024), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Warning, could not open: " + prefix.path("missing/deeper/x") + "\n");
  EXPECT_EQ(q.mmap_p, nullptr);
  msgq_close_queue(&q);  // closing a handle without a mapping does nothing
}

// A frame that would end exactly 8 bytes before the end of the data area wraps to offset 0 of
// the next cycle; one that ends 9 bytes before stays in place.
TEST_F(MsgqQueue, WrapBoundary) {
  struct Case {
    size_t data_size;
    bool wraps;
  };
  for (Case c : {Case{1024, true}, Case{1025, false}}) {
    SCOPED_TRACE(c.data_size);
    std::string name = "wrap" + std::to_string(c.data_size);
    Queue pub(name.c_str(), c.data_size);
    msgq_init_publisher(pub.get());
    Queue sub(name.c_str(), c.data_size);
    msgq_init_subscriber(sub.get());

    for (int i = 0; i < 4; i++) {
      ASSERT_EQ(send_text(pub.get(), std::string(200, char('a' + i))), 200);
      ASSERT_EQ(recv(sub.get()), std::string(200, char('a' + i)));
    }
    ASSERT_EQ(write_pointer(pub.get()), packed(0, 832));  // four 208-byte frames
    const std::string last(176, 'z');  // a 184-byte frame: ends at 1016
    ASSERT_EQ(send_text(pub.get(), last), 176);

    int64_t marker;
    memcpy(&marker, pub->data + 832, 8);
    if (c.wraps) {
      EXPECT_EQ(marker, -1);
      EXPECT_EQ(write_pointer(pub.get()), packed(1, 184));
    } else {
      EXPECT_EQ(marker, 176);
      EXPECT_EQ(write_pointer(pub.get()), packed(0, 1016));
    }
    // The reader follows the marker (when there is one) to the frame.
    EXPECT_EQ(recv_all(sub.get()), std::vector<std::string>{last});
  }
}

TEST_F(MsgqQueue, ReaderFollowsManyWrapsInOrder) {
  Queue pub("cycles", 1024);
  msgq_init_publisher(pub.get());
  Queue sub("cycles", 1024);
  msgq_init_subscriber(sub.get());
  for (int i = 0; i < 500; i++) {
    std::string p = std::to_string(i) + std::string(i % 200, '.');
    ASSERT_EQ(send_text(pub.get(), p), int(p.size()));
    ASSERT_EQ(recv(sub.get()), p);
  }
  EXPECT_GT(write_pointer(pub.get()) >> 32, 50u);
}

TEST_F(MsgqQueue, LappedReaderResumesAtTheNewestMessage) {
  Queue pub("lap", 1024);
  msgq_init_publisher(pub.get());
  Queue sub("lap", 1024);
  msgq_init_subscriber(sub.get());
  ASSERT_EQ(send_text(pub.get(), "first"), 5);
  ASSERT_EQ(recv(sub.get()), "first");
  // More than a full data area the reader never reads.
  for (int i = 0; i < 20; i++) ASSERT_EQ(send_text(pub.get(), std::string(100, 'o')), 100);
  EXPECT_EQ(sub->read_valids[0]->load(), 0u);

  EXPECT_EQ(recv(sub.get()), "");  // resynchronised, nothing stale
  EXPECT_EQ(sub->read_valids[0]->load(), 1u);
  ASSERT_EQ(send_text(pub.get(), "fresh"), 5);
  EXPECT_EQ(recv_all(sub.get()), std::vector<std::string>{"fresh"});
}

TEST_F(MsgqQueue, ConflateDeliversOnlyTheNewest) {
  Queue pub("conflate", 4096);
  msgq_init_publisher(pub.get());
  Queue all("conflate", 4096), newest("conflate", 4096);
  msgq_init_subscriber(all.get());
  msgq_init_subscriber(newest.get());
  newest->read_conflate = true;

  ASSERT_EQ(send_text(pub.get(), "one"), 3);
  ASSERT_EQ(send_text(pub.get(), "two"), 3);
  EXPECT_EQ(recv_all(newest.get()), std::vector<std::string>{"two"});
  EXPECT_EQ(recv_all(all.get()), (std::vector<std::string>{"one", "two"}));
}

TEST_F(MsgqQueue, LateSubscriberSeesNothingOld) {
  Queue pub("late", 4096);
  msgq_init_publisher(pub.get());
  ASSERT_EQ(send_text(pub.get(), "old1"), 4);
  ASSERT_EQ(send_text(pub.get(), "old2"), 4);
  Queue sub("late", 4096);
  msgq_init_subscriber(sub.get());
  EXPECT_EQ(msgq_msg_ready(sub.get()), 0);
  EXPECT_EQ(recv(sub.get()), "");
  ASSERT_EQ(send_text(pub.get(), "new"), 3);
  EXPECT_EQ(recv_all(sub.get()), std::vector<std::string>{"new"});
}

TEST_F(MsgqQueue, ThirteenthSubscriberEvictsTheTwelve) {
  Queue pub("evict", 4096);
  msgq_init_publisher(pub.get());
  std::vector<std::unique_ptr<Queue>> subs;
  for (int i = 0; i < MSGQ_READER_SLOTS; i++) {
    subs.push_back(std::make_unique<Queue>("evict", 4096));
    msgq_init_subscriber(subs.back()->get());
    EXPECT_EQ((*subs.back())->reader_id, i);
  }
  ASSERT_EQ(send_text(pub.get(), "before"), 6);

  Queue thirteenth("evict", 4096);
  msgq_init_subscriber(thirteenth.get());
  EXPECT_EQ(thirteenth->reader_id, 0);
  EXPECT_EQ(pub->num_readers->load(), 1u);
  for (int i = 1; i < MSGQ_READER_SLOTS; i++) EXPECT_EQ(pub->read_uids[i]->load(), 0u);

  // Each evicted reader registers again on its next receive, in a new slot, from the newest
  // position: what was sent before its eviction is gone.
  for (int i = 0; i < 5; i++) {
    EXPECT_EQ(recv(subs[i]->get()), "");
    EXPECT_EQ((*subs[i])->reader_id, i + 1);
  }
  ASSERT_EQ(send_text(pub.get(), "after"), 5);
  EXPECT_EQ(recv(thirteenth.get()), "after");
  for (int i = 0; i < 5; i++) EXPECT_EQ(recv(subs[i]->get()), "after");
}

TEST_F(MsgqQueue, AllReadersUpdated) {
  Queue pub("updated", 4096);
  msgq_init_publisher(pub.get());
  EXPECT_FALSE(msgq_all_readers_updated(pub.get()));
  Queue a("updated", 4096), b("updated", 4096);
  msgq_init_subscriber(a.get());
  msgq_init_subscriber(b.get());
  EXPECT_TRUE(msgq_all_readers_updated(pub.get()));

  ASSERT_EQ(send_text(pub.get(), "m"), 1);
  EXPECT_FALSE(msgq_all_readers_updated(pub.get()));
  EXPECT_EQ(recv(a.get()), "m");
  EXPECT_FALSE(msgq_all_readers_updated(pub.get()));
  EXPECT_EQ(recv(b.get()), "m");
  EXPECT_TRUE(msgq_all_readers_updated(pub.get()));
}

TEST_F(MsgqQueue, WaitForSubscriberReturnsOnceOneRegisters) {
  Queue pub("waitsub", 4096);
  msgq_init_publisher(pub.get());
  pid_t child = fork_child([] {
    msgq_queue_t q;
    if (msgq_new_queue(&q, "waitsub", 4096) != 0) return 2;
    msgq_init_subscriber(&q);
    msgq_close_queue(&q);
    return 0;
  });
  msgq_wait_for_subscriber(pub.get());  // bounded by the child, which registers at once
  EXPECT_EQ(pub->num_readers->load(), 1u);
  EXPECT_EQ(wait_child(child), 0);
}

TEST_F(MsgqQueue, SubscriberBeforePublisherRegistersAgainAfterTakeover) {
  Queue sub("takeover", 4096);
  msgq_init_subscriber(sub.get());
  Queue pub("takeover", 4096);
  msgq_init_publisher(pub.get());
  ASSERT_EQ(send_text(pub.get(), "lost"), 4);  // the reader's slot was reset by the takeover
  EXPECT_EQ(recv(sub.get()), "");
  ASSERT_EQ(send_text(pub.get(), "kept"), 4);
  EXPECT_EQ(recv(sub.get()), "kept");
}

// A second publisher process takes the queue over: the first is refused, subscribers follow
// the new one.
TEST_F(MsgqQueue, PublisherTakeoverAcrossProcesses) {
  Queue first("owner", 4096);
  msgq_init_publisher(first.get());
  Queue sub("owner", 4096);
  msgq_init_subscriber(sub.get());
  ASSERT_EQ(send_text(first.get(), "from first"), 10);
  EXPECT_EQ(recv(sub.get()), "from first");

  Signal taken, go_on;
  pid_t child = fork_child([&] {
    msgq_queue_t q;
    if (msgq_new_queue(&q, "owner", 4096) != 0) return 2;
    msgq_init_publisher(&q);
    taken.notify();
    if (!go_on.wait()) return 3;
    msgq_msg_t msg;
    msgq_msg_init_data(&msg, const_cast<char *>("from second"), 11);
    int r = msgq_msg_send(&msg, &q);
    msgq_msg_close(&msg);
    msgq_close_queue(&q);
    return r == 11 ? 0 : 4;
  });
  ASSERT_TRUE(taken.wait());

  testing::internal::CaptureStdout();
  errno = 0;
  EXPECT_EQ(send_text(first.get(), "refused"), -1);
  EXPECT_EQ(errno, EADDRINUSE);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Killing old publisher: owner\n");

  // The subscriber registers again and receives what the new owner sends afterwards.
  EXPECT_EQ(recv(sub.get()), "");
  go_on.notify();
  ASSERT_EQ(wait_child(child), 0);
  EXPECT_EQ(recv_all(sub.get()), std::vector<std::string>{"from second"});
}

TEST_F(MsgqQueue, EmptyPayloadIsRefused) {
  Queue pub("empty", 4096);
  msgq_init_publisher(pub.get());
  Queue sub("empty", 4096);
  msgq_init_subscriber(sub.get());
  msgq_msg_t msg;
  errno = 0;
  EXPECT_EQ(msgq_msg_send(&msg, pub.get()), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(write_pointer(pub.get()), 0u);
  EXPECT_EQ(recv(sub.get()), "");
}

TEST_F(MsgqQueue, LargestPayloadFitsAndOneMoreByteStops) {
  constexpr size_t LARGEST = 3495240;
  Queue pub("big", MSGQ_QUEUE_SIZE);
  msgq_init_publisher(pub.get());
  Queue sub("big", MSGQ_QUEUE_SIZE);
  msgq_init_subscriber(sub.get());
  std::string big(LARGEST, '\0');
  for (size_t i = 0; i < big.size(); i++) big[i] = char(i * 131 + (i >> 13));
  for (int i = 0; i < 4; i++) {  // crosses the end of the data area once
    big[0] = char(i);
    ASSERT_EQ(send_text(pub.get(), big), int(LARGEST));
    ASSERT_TRUE(recv(sub.get()) == big) << "message " << i;
  }
  EXPECT_EQ(write_pointer(pub.get()) >> 32, 1u);

  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::string too_big(LARGEST + 1, 'x');
  EXPECT_DEATH(send_text(pub.get(), too_big), "3 \\* total_msg_size <= q->size");
}

TEST_F(MsgqQueue, PollWithoutItemsOrTimeoutReturnsAtOnce) {
  EXPECT_EQ(msgq_poll(nullptr, 0, -1), 0);
  Queue pub("poll0", 4096);
  msgq_init_publisher(pub.get());
  Queue sub("poll0", 4096);
  msgq_init_subscriber(sub.get());
  msgq_pollitem_t item = {sub.get(), 1};
  EXPECT_EQ(msgq_poll(&item, 1, 0), 0);
  EXPECT_EQ(item.revents, 0);
  ASSERT_EQ(send_text(pub.get(), "x"), 1);
  EXPECT_EQ(msgq_poll(&item, 1, 0), 1);
  EXPECT_EQ(item.revents, 1);
}

// An unbounded poll returns when another thread publishes: the publisher's SIGUSR2 ends the
// sleep of the thread that registered the reader.
TEST_F(MsgqQueue, UnboundedPollWokenByPublisherThread) {
  Queue pub("wake", 4096);
  msgq_init_publisher(pub.get());
  Queue sub("wake", 4096);
  msgq_init_subscriber(sub.get());
  std::thread publisher([&] {
    wait_until([&] { return msgq_all_readers_updated(pub.get()); });
    send_text(pub.get(), "ping");
  });
  msgq_pollitem_t item = {sub.get(), 0};
  EXPECT_EQ(msgq_poll(&item, 1, -1), 1);
  EXPECT_EQ(recv(sub.get()), "ping");
  publisher.join();
}

namespace {
std::atomic<long> sigusr2_thread{0};
void record_sigusr2_thread(int) { sigusr2_thread = syscall(SYS_gettid); }
}  // namespace

// The wake-up reaches the very thread that registered the reader, from another process.
TEST_F(MsgqQueue, PublisherSignalsTheReaderThread) {
  std::signal(SIGUSR2, record_sigusr2_thread);
  Signal taken, go_on;
  pid_t child = fork_child([&] {
    msgq_queue_t q;
    if (msgq_new_queue(&q, "signal", 4096) != 0) return 2;
    msgq_init_publisher(&q);
    taken.notify();
    if (!go_on.wait()) return 3;
    msgq_msg_t msg;
    msgq_msg_init_data(&msg, const_cast<char *>("x"), 1);
    int r = msgq_msg_send(&msg, &q);
    msgq_msg_close(&msg);
    return r == 1 ? 0 : 4;
  });
  ASSERT_TRUE(taken.wait());

  std::atomic<long> reader_tid{0};
  std::thread reader([&] {
    msgq_queue_t q;
    if (msgq_new_queue(&q, "signal", 4096) != 0) return;
    msgq_init_subscriber(&q);
    std::signal(SIGUSR2, record_sigusr2_thread);  // opening the queue installed its own
    reader_tid = syscall(SYS_gettid);
    wait_until([] { return sigusr2_thread.load() != 0; });  // stay alive to be signalled
    msgq_close_queue(&q);
  });
  ASSERT_TRUE(wait_until([&] { return reader_tid.load() != 0; }));
  go_on.notify();
  EXPECT_EQ(wait_child(child), 0);
  reader.join();
  EXPECT_EQ(sigusr2_thread.load(), reader_tid.load());
  EXPECT_NE(sigusr2_thread.load(), long(syscall(SYS_gettid)));
  std::signal(SIGUSR2, sigusr2_handler);
}
