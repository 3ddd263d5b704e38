// The recorder's segment encoder (OmxSegmentEncoder) when things go wrong: a component that
// hangs, reports an error, refuses or never completes a state change, or cannot be had; a file
// system that fills up. Each ends in playable footage, one warning, and an encoder that works.

#include "selfdrive/orsolo/omx_segment_encoder.h"

#include <sys/statvfs.h>
#include <sys/stat.h>

#include <fstream>

#include <gtest/gtest.h>

#include "common/util.h"
#include "tests/support/temp_dir.h"
#include "encoder_test_util.h"
#include "tests/support/log_capture.h"
#include "tests/support/scoped_env.h"
#include "tests/support/tmpfs_mount.h"
#include "tests/support/x265_leak_suppression.h"

namespace {

constexpr int W = 330, H = 250;
constexpr uint64_t FRAME_NS = 100000000ULL;

// Installed before anything logs, so that every record of this process is seen.
LogCapture &logs = LogCapture::instance();

SegmentStatus encode(SegmentEncoder &e, int i) {
  Nv12Frame f(W, H, i);
  return e.encode_nv12(f.y.data(), W, f.uv.data(), W, W, H, (uint64_t)(i + 1) * FRAME_NS);
}

// A segment that plays: every frame decodes, the index is at the end, no lock file is left.
void expect_playable(const std::string &mp4, int frames) {
  EXPECT_FALSE(util::file_exists(mp4 + ".lock")) << mp4;
  EXPECT_EQ(top_level_boxes(mp4), (std::vector<std::string>{"ftyp", "free", "mdat", "moov"})) << mp4;
  EXPECT_EQ(decoded_frames(mp4), frames) << mp4;
  EXPECT_EQ(ffprobe_decode_errors("", mp4), "") << mp4;
}

// After any fault, a new encoder records as if nothing had happened.
void expect_next_encoder_works(const std::string &dir, const std::string &name) {
  std::unique_ptr<SegmentEncoder> e = OmxSegmentEncoder::create(dir, W, H);
  ASSERT_NE(e, nullptr);
  ASSERT_TRUE(e->open_segment(name));
  for (int i = 0; i < 5; i++) ASSERT_EQ(encode(*e, i), SegmentStatus::OK) << i;
  e->close_segment();
  expect_playable(dir + "/" + name, 5);
}

int64_t free_bytes(const std::string &dir) {
  struct statvfs s;
  return statvfs(dir.c_str(), &s) == 0 ? (int64_t)s.f_bavail * s.f_frsize : -1;
}

// Writes a file of zeros until it is `bytes` long or the file system is full.
void fill(const std::string &path, int64_t bytes) {
  std::ofstream f(path, std::ios::binary);
  std::vector<char> block(4096, 0);
  for (int64_t n = 0; n < bytes && f.write(block.data(), block.size()); n += (int64_t)block.size()) {
  }
}

struct ComponentFault {
  const char *name;
  const char *fault;
  bool made;           // the factory gives an encoder
  SegmentStatus last;  // status of the last of 40 frames offered (or the first that is not OK)
  int min_frames;      // frames the finished segment holds at least
};

void PrintTo(const ComponentFault &c, std::ostream *os) {
  *os << c.name;
}

class ComponentFaultTest : public ::testing::TestWithParam<ComponentFault> {};

TEST_P(ComponentFaultTest, EndsInAPlayableSegmentAndAWorkingNextEncoder) {
  const ComponentFault c = GetParam();
  TestDir dir;
  {
    ScopedEnv fault("OMX_STANDIN_FAULT", c.fault);
    std::unique_ptr<SegmentEncoder> e = OmxSegmentEncoder::create(dir.path(), W, H);
    ASSERT_EQ(e != nullptr, c.made);
    if (e) {
      ASSERT_TRUE(e->open_segment("faulty.mp4"));
      SegmentStatus last = SegmentStatus::OK;
      int taken = 0;
      for (int i = 0; i < 40 && last == SegmentStatus::OK; i++) {
        last = encode(*e, i);
        if (last == SegmentStatus::OK) taken++;
      }
      EXPECT_EQ(last, c.last);
      e->close_segment();
      const int frames = decoded_frames(dir / "faulty.mp4");
      EXPECT_GE(frames, c.min_frames);
      EXPECT_LE(frames, taken + 1);  // the frame on which the fault showed may have gone in
      expect_playable(dir / "faulty.mp4", frames);
      e.reset();  // releases the component within bounded time
    }
  }
  expect_next_encoder_works(dir.path(), "next.mp4");
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ComponentFaultTest,
    ::testing::Values(
        // Every frame the component returned before it hung is in the file.
        ComponentFault{"StopsReturningBuffers", "stall_output@12", true, SegmentStatus::ENCODER_FAILED, 12},
        ComponentFault{"ReportsAnError", "error@12", true, SegmentStatus::ENCODER_FAILED, 12},
        ComponentFault{"RefusesToStop", "refuse_state@Loaded", true, SegmentStatus::OK, 40},
        ComponentFault{"NeverStops", "ignore_state@Loaded", true, SegmentStatus::OK, 40},
        ComponentFault{"RefusesToStart", "refuse_state@Executing", false, SegmentStatus::OK, 0},
        ComponentFault{"NeverGetsReady", "ignore_state@Idle", false, SegmentStatus::OK, 0},
        ComponentFault{"CannotBeHad", "no_component", false, SegmentStatus::OK, 0}),
    [](const ::testing::TestParamInfo<ComponentFault> &i) { return std::string(i.param.name); });

// A file system of its own, nearly full.
class FullDiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs = dir / "fs";
    ASSERT_EQ(mkdir(fs.c_str(), 0755), 0);
    mount = std::make_unique<TmpfsMount>(fs, 2 << 20);
    if (!mount->mounted()) GTEST_SKIP() << "cannot mount a small file system here: " << mount->error();
    trip = fs + "/trip";
    logs.take();
  }
  TestDir dir;
  std::string fs, trip;
  std::unique_ptr<TmpfsMount> mount;
};

TEST_F(FullDiskTest, FailureStopsTheSegmentOnceAndTheNextStartsWhenThereIsRoom) {
  fill(fs + "/filler", free_bytes(fs) - 400 * 1024);
  std::unique_ptr<SegmentEncoder> e = OmxSegmentEncoder::create(trip, W, H);
  ASSERT_NE(e, nullptr);
  ASSERT_TRUE(e->open_segment("full.mp4"));
  int taken = 0;
  SegmentStatus s = SegmentStatus::OK;
  for (int i = 0; i < 400 && s == SegmentStatus::OK; i++) {
    s = encode(*e, i);
    if (s == SegmentStatus::OK) taken++;
  }
  ASSERT_EQ(s, SegmentStatus::WRITE_FAILED) << "the file system never filled up";
  for (int i = 0; i < 5; i++) EXPECT_EQ(encode(*e, taken + i), SegmentStatus::WRITE_FAILED);
  e->close_segment();
  const int frames = decoded_frames(trip + "/full.mp4");
  EXPECT_GT(frames, 0);
  EXPECT_LE(frames, taken);
  expect_playable(trip + "/full.mp4", frames);

  // Still full: a new segment cannot be made, or fails at once; either way, quietly.
  if (e->open_segment("still_full.mp4")) {
    for (int i = 0; i < 20 && encode(*e, i) == SegmentStatus::OK; i++) {
    }
    e->close_segment();
  }
  std::vector<std::string> warnings = logs.take();
  ASSERT_EQ(warnings.size(), 1u) << "one warning per episode";
  EXPECT_NE(warnings[0].find("full.mp4"), std::string::npos) << warnings[0];
  EXPECT_NE(warnings[0].find("No space left on device"), std::string::npos) << warnings[0];

  // Room again: the same encoder goes on in a new segment.
  std::remove((fs + "/filler").c_str());
  ASSERT_TRUE(e->open_segment("room.mp4"));
  for (int i = 0; i < 5; i++) ASSERT_EQ(encode(*e, i), SegmentStatus::OK) << i;
  e->close_segment();
  expect_playable(trip + "/room.mp4", 5);
  warnings = logs.take();
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("writing works again"), std::string::npos) << warnings[0];
}

}  // namespace
