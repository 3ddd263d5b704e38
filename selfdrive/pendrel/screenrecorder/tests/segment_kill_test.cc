// A recording process killed with SIGKILL at a table of moments, segments opening and closing
// around them; then recovery. Every segment left plays, every frame in it decodes and is the
// frame that was sent, and only frames sent in the last 2 s before the kill may be missing.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"
#include "encoder_test_util.h"
#include "selfdrive/orsolo/omx_segment_encoder.h"
#include "selfdrive/pendrel/screenrecorder/segment_recovery.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int W = 330, H = 250;
constexpr int SEGMENT_FRAMES = 40;  // 4 s at 10 frames/s
constexpr int SEGMENTS = 2;
constexpr auto FRAME_INTERVAL = std::chrono::milliseconds(100);
constexpr auto PROMISE = std::chrono::seconds(2);  // at most this much is lost

enum Step : int32_t { OPENED, FRAME, CLOSING, CLOSED };

struct Report {
  int32_t step, segment, frame;
};

std::string segment_name(int segment) {
  return "seg" + std::to_string(segment) + ".mp4";
}

// The recording process: one encoder, segments one after another, frames at 10 per second, every
// step reported on `fd` once it is done. Never returns.
[[noreturn]] void record(const std::string &dir, int fd) {
  auto report = [fd](Step step, int segment, int frame) {
    Report r{step, segment, frame};
    if (write(fd, &r, sizeof(r)) != (ssize_t)sizeof(r)) _exit(5);
  };
  std::unique_ptr<SegmentEncoder> e = OmxSegmentEncoder::create(dir, W, H);
  if (!e) _exit(2);
  auto next = Clock::now();
  for (int s = 0; s < SEGMENTS; s++) {
    if (!e->open_segment(segment_name(s))) _exit(3);
    report(OPENED, s, -1);
    for (int f = 0; f < SEGMENT_FRAMES; f++) {
      std::this_thread::sleep_until(next);  // the camera's pace, not a synchronisation
      next += FRAME_INTERVAL;
      Nv12Frame frame(W, H, s * SEGMENT_FRAMES + f);
      if (e->encode_nv12(frame.y.data(), W, frame.uv.data(), W, W, H, (uint64_t)(f + 1) * 100000000ULL) !=
          SegmentStatus::OK) {
        _exit(4);
      }
      report(FRAME, s, f);
    }
    report(CLOSING, s, -1);
    e->close_segment();
    report(CLOSED, s, -1);
  }
  pause();  // the kill comes before this in every case
  _exit(0);
}

// The recording process, killed when it goes out of scope at the latest.
class Recorder {
 public:
  explicit Recorder(const std::string &dir) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    pid_ = fork_child([&] {
      close(fds[0]);
      record(dir, fds[1]);  // ends the process
      return 0;
    });
    close(fds[1]);
    read_fd_ = fds[0];
  }
  ~Recorder() {
    kill_now();
    if (read_fd_ >= 0) close(read_fd_);
  }
  bool started() const { return pid_ > 0 && read_fd_ >= 0; }
  // The next step, or false when none comes within 10 s or the process has ended and every step
  // it reported has been read.
  bool next(Report *r) {
    pollfd p{read_fd_, POLLIN, 0};
    return poll(&p, 1, 10000) == 1 && read(read_fd_, r, sizeof(*r)) == (ssize_t)sizeof(*r);
  }
  // SIGKILL, then the status; true when the process died of the signal.
  bool kill_now() {
    if (pid_ <= 0) return false;
    kill(pid_, SIGKILL);
    const std::optional<int> status = wait_child_status(pid_, std::chrono::seconds(10));
    const bool killed = status && WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL;
    pid_ = -1;
    return killed;
  }

 private:
  pid_t pid_ = -1;
  int read_fd_ = -1;
};

struct KillMoment {
  const char *name;
  Step step;
  int segment, frame;  // frame -1: a segment step
};

void PrintTo(const KillMoment &k, std::ostream *os) {
  *os << k.name;
}

class SegmentKillTest : public ::testing::TestWithParam<KillMoment> {};

TEST_P(SegmentKillTest, RecoveryKeepsAllButTheLastTwoSeconds) {
  const KillMoment k = GetParam();
  TestDir dir;
  std::map<int, std::vector<Clock::time_point>> sent;  // per segment, when each frame was taken
  Clock::time_point killed_at;
  {
    Recorder recorder(dir.path());
    ASSERT_TRUE(recorder.started());
    Report r;
    while (true) {
      ASSERT_TRUE(recorder.next(&r)) << "the recording stopped before the moment";
      if (r.step == OPENED) sent[r.segment];
      if (r.step == FRAME) sent[r.segment].push_back(Clock::now());
      if (r.step == k.step && r.segment == k.segment && r.frame == k.frame) break;
    }
    killed_at = Clock::now();
    ASSERT_TRUE(recorder.kill_now());
    // Steps the process got through before the signal landed, unread so far: sent at the kill.
    while (recorder.next(&r)) {
      if (r.step == FRAME) sent[r.segment].push_back(killed_at);
    }
  }

  for (const auto &entry : std::filesystem::directory_iterator(dir.path())) {
    const std::string path = entry.path().string();
    if (path.size() > 5 && path.compare(path.size() - 5, 5, ".lock") == 0) {
      std::string error;
      EXPECT_TRUE(recover_segment(path.substr(0, path.size() - 5), &error)) << path << ": " << error;
    }
  }

  for (int s = 0; s < SEGMENTS; s++) {
    const std::string mp4 = dir / segment_name(s);
    SCOPED_TRACE(mp4);
    EXPECT_FALSE(std::filesystem::exists(mp4 + ".lock"));
    int must_keep = 0;
    for (auto t : sent[s]) must_keep += t <= killed_at - PROMISE;
    if (!std::filesystem::exists(mp4)) {
      EXPECT_EQ(must_keep, 0) << "a segment with frames older than 2 s is gone";
      continue;
    }
    ASSERT_EQ(top_level_boxes(mp4), (std::vector<std::string>{"ftyp", "free", "mdat", "moov"}));
    EXPECT_EQ(ffprobe_decode_errors("", mp4), "");
    std::vector<std::vector<uint8_t>> frames = decode_nv12(mp4, W, H);
    EXPECT_GE((int)frames.size(), must_keep);
    EXPECT_LE(frames.size(), sent[s].size() + 1);  // the frame being sent at the kill may be in
    for (size_t i = 0; i < frames.size(); i++) {
      PicturePsnr p = psnr_of(Nv12Frame(W, H, s * SEGMENT_FRAMES + (int)i), frames[i]);
      EXPECT_GT(p.y, 30.0) << "frame " << i;
      EXPECT_GT(p.uv, 30.0) << "frame " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Moments, SegmentKillTest,
    ::testing::Values(KillMoment{"RightAfterOpen", OPENED, 0, -1}, KillMoment{"FirstFrames", FRAME, 0, 2},
                      KillMoment{"MidSegment", FRAME, 0, 25},
                      KillMoment{"LastFrameBeforeRotation", FRAME, 0, SEGMENT_FRAMES - 1},
                      KillMoment{"DuringRotation", CLOSING, 0, -1},
                      KillMoment{"BetweenSegments", CLOSED, 0, -1},
                      KillMoment{"RightAfterRotation", OPENED, 1, -1},
                      KillMoment{"LateInTheNextSegment", FRAME, 1, 30}),
    [](const ::testing::TestParamInfo<KillMoment> &i) { return std::string(i.param.name); });

}  // namespace
