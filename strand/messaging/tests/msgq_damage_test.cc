// Queue files that are damaged, resized or cut short under the processes that map them: a
// reader resynchronises past what it cannot trust and says so once; a publisher survives its
// file being truncated; a file left by a queue of another size is taken over.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "strand/messaging/msgq.h"
#include "strand/messaging/tests/msgq_test_util.h"

namespace {

constexpr size_t DATA_SIZE = 4096;
constexpr size_t HEADER = sizeof(msgq_header_t);

// The next message, "" when nothing is new, "<error>" when the receive failed.
std::string recv(msgq_queue_t *q) {
  msgq_msg_t msg;
  int r = msgq_msg_recv(&msg, q);
  if (r < 0) return "<error>";
  std::string out(msg.data, msg.data + msg.size);
  msgq_msg_close(&msg);
  return out;
}

uint32_t read_offset(msgq_queue_t *q) { return uint32_t(q->read_pointers[q->reader_id]->load() & 0xFFFFFFFF); }

off_t file_size(const std::string &path) {
  struct stat st = {};
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

class MsgqDamage : public ::testing::Test {
 protected:
  TestPrefix prefix;
};

}  // namespace

// A size word that no writer produces makes the reader skip to the newest message, warn once
// for the handle, and read on.
TEST_F(MsgqDamage, UntrustworthyFrameIsSkippedWithOneWarning) {
  struct {
    const char *what;
    int64_t size;  // written over the size word of the frame the reader is about to read
  } cases[] = {
      {"zero", 0},
      {"negative other than the wrap marker", -7},
      {"the whole data area", int64_t(DATA_SIZE)},
      {"far beyond the data area", int64_t(1) << 40},
      {"running past the end of the data area", int64_t(DATA_SIZE) - 4},
  };
  int n = 0;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    const std::string name = "damaged" + std::to_string(n++);
    msgq_queue_t pub, sub;
    ASSERT_EQ(msgq_new_queue(&pub, name.c_str(), DATA_SIZE), 0);
    msgq_init_publisher(&pub);
    ASSERT_EQ(msgq_new_queue(&sub, name.c_str(), DATA_SIZE), 0);
    msgq_init_subscriber(&sub);

    testing::internal::CaptureStdout();
    for (int round = 0; round < 2; round++) {  // met twice, reported once
      ASSERT_EQ(send_text(&pub, "first"), 5);
      memcpy(pub.data + read_offset(&sub), &c.size, sizeof(c.size));
      EXPECT_TRUE(recv(&sub).empty());
      ASSERT_EQ(send_text(&pub, "second"), 6);
      EXPECT_TRUE(recv(&sub) == "second");
    }
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Warning, " + name + ": frame at offset 0 has an impossible size " + std::to_string(c.size) +
                       "; the reader skips to the newest message\n");
    msgq_close_queue(&sub);
    msgq_close_queue(&pub);
  }
}

// Another process cuts the file short: the publisher's next access would fault. It goes on,
// the file has its size again, and the subscriber gets the messages that follow.
TEST_F(MsgqDamage, TruncatedFileDoesNotKillThePublisher) {
  // Large enough that the write position lies pages beyond the cut: only a whole page past the
  // end of the file faults.
  constexpr size_t BIG = 64 * 1024;
  struct {
    const char *what;
    off_t length;
  } cases[] = {
      {"to nothing", 0},
      {"inside the data area", off_t(HEADER + 256)},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = prefix.path("cut");
    // In a child, so that a fault that is not handled fails this case and nothing else.
    pid_t child = fork_child([&] {
      msgq_queue_t pub, sub;
      if (msgq_new_queue(&pub, "cut", BIG) != 0 || msgq_new_queue(&sub, "cut", BIG) != 0) return 2;
      msgq_init_publisher(&pub);
      msgq_init_subscriber(&sub);
      for (int i = 0; i < 16; i++) {  // the write position well past the cut
        if (send_text(&pub, std::string(1000, char('a' + i))) != 1000 || recv(&sub).size() != 1000) return 3;
      }
      if (truncate(path.c_str(), c.length) != 0) return 4;
      if (send_text(&pub, "after the cut") != 13) return 5;
      if (file_size(path) != off_t(HEADER + BIG)) return 6;
      // The subscriber takes up whatever comes next, having registered again if it had to.
      recv(&sub);
      if (send_text(&pub, "and on") != 6) return 7;
      if (recv(&sub) != "and on") return 8;
      msgq_close_queue(&sub);
      msgq_close_queue(&pub);
      return 0;
    });
    EXPECT_EQ(wait_child(child), 0);
    unlink(path.c_str());
  }
}

// A file left by a queue with another data size: opening it resizes it, and a position the old
// writer left beyond the new end starts a new cycle instead of being trusted.
TEST_F(MsgqDamage, FileOfAnotherSizeIsTakenOver) {
  for (size_t old_size : {size_t(4 * DATA_SIZE), size_t(DATA_SIZE / 2)}) {
    SCOPED_TRACE("old data size " + std::to_string(old_size));
    const std::string name = "resized" + std::to_string(old_size);
    {
      msgq_queue_t old_pub;
      ASSERT_EQ(msgq_new_queue(&old_pub, name.c_str(), old_size), 0);
      msgq_init_publisher(&old_pub);
      for (size_t written = 0; written < old_size - 400; written += 208) {
        ASSERT_EQ(send_text(&old_pub, std::string(200, 'o')), 200);
      }
      msgq_close_queue(&old_pub);
    }
    msgq_queue_t pub, sub;
    ASSERT_EQ(msgq_new_queue(&pub, name.c_str(), DATA_SIZE), 0);
    EXPECT_EQ(file_size(prefix.path(name)), off_t(HEADER + DATA_SIZE));
    msgq_init_publisher(&pub);
    ASSERT_EQ(msgq_new_queue(&sub, name.c_str(), DATA_SIZE), 0);
    msgq_init_subscriber(&sub);
    for (int i = 0; i < 100; i++) {  // several wraps of the new size
      std::string payload(1 + (i * 37) % 300, char(i));
      ASSERT_EQ(send_text(&pub, payload), int(payload.size()));
      ASSERT_EQ(recv(&sub), payload) << "message " << i;
    }
    msgq_close_queue(&sub);
    msgq_close_queue(&pub);
  }
}
