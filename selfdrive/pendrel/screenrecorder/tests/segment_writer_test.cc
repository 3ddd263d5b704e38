// The segment writer and recovery on real files: a normally closed segment is what the muxer
// alone writes, a recovered one is what a normal close of the same frames writes, damage costs
// only the frames it touches, and a live segment is never touched.

#include "selfdrive/pendrel/screenrecorder/mp4_segment_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "common/util.h"
#include "tests/support/temp_dir.h"
#include "encoder_test_util.h"
#include "h264_clip.h"
#include "plain_mp4_writer.h"
#include "selfdrive/pendrel/screenrecorder/segment_journal.h"
#include "selfdrive/pendrel/screenrecorder/segment_recovery.h"
#include "tests/support/tmpfs_mount.h"

namespace {

constexpr int W = 320, H = 240, FPS = 10;
constexpr int FRAMES = 24;

// A short clip: a sync frame every 8, frame i at (i + 1) frame intervals.
const H264Clip &clip() {
  static const H264Clip c = [] {
    H264ClipSettings s;
    s.width = W;
    s.height = H;
    s.frames = FRAMES;
    s.sync_period = 8;
    return encode_h264_clip(s, [](int i, uint8_t *y, int ys, uint8_t *uv, int uvs) {
      Nv12Frame f(W, H, i);
      for (int r = 0; r < H; r++) memcpy(y + r * ys, &f.y[(size_t)r * W], W);
      for (int r = 0; r < H / 2; r++) memcpy(uv + r * uvs, &f.uv[(size_t)r * W], W);
    });
  }();
  return c;
}

int64_t pts_us(size_t i) {
  return (int64_t)(i + 1) * 100000;
}

off_t size_of(const std::string &p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 ? st.st_size : -1;
}

// The clip's first `n` frames; past its end it starts over (each round begins with a sync
// frame, so it decodes) with the timestamps going on.
void write_clip(SegmentWriter &w, size_t n) {
  w.write_header(clip().config.data(), clip().config.size());
  for (size_t i = 0; i < n; i++) {
    const H264Clip::Packet &p = clip().packets[i % FRAMES];
    w.write_frame(p.data.data(), p.data.size(), pts_us(i), p.sync);
  }
}

// The segment as a normal close leaves it.
std::string closed_segment(const TestDir &dir, const std::string &name, size_t n) {
  SegmentWriter w;
  EXPECT_TRUE(w.open(dir.path(), name, {W, H, FPS, true}));
  write_clip(w, n);
  w.close();
  return util::read_file(dir / name);
}

// The files of an open segment as a writer killed at this moment leaves them: copies of the
// video and its lock file under `name`, with no process holding the lock.
void snapshot_open_segment(const TestDir &dir, const std::string &name, size_t n) {
  SegmentWriter w;
  ASSERT_TRUE(w.open(dir.path(), "live.mp4", {W, H, FPS, true}));
  write_clip(w, n);
  std::filesystem::copy_file(dir / "live.mp4", dir / name);
  std::filesystem::copy_file(dir / "live.mp4.lock", dir / (name + ".lock"));
  w.close();
  std::filesystem::remove(dir / "live.mp4");
}

}  // namespace

// The crash-safe writer leaves the file the muxer writes when it is simply given the file's name.
TEST(SegmentWriterTest, ClosedSegmentIsWhatTheMuxerAloneWrites) {
  TestDir dir;
  const std::string ours = closed_segment(dir, "ours.mp4", FRAMES);
  EXPECT_FALSE(util::file_exists(dir / "ours.mp4.lock"));

  const std::string path = dir / "plain.mp4";
  PlainMp4Writer plain(path, W, H, FPS, clip().config);
  for (size_t i = 0; i < clip().packets.size(); i++) {
    const H264Clip::Packet &p = clip().packets[i];
    plain.write_frame(p.data.data(), p.data.size(), pts_us(i), p.sync);
  }
  plain.close();
  ASSERT_TRUE(plain.ok());

  EXPECT_TRUE(ours == util::read_file(path)) << "the two files differ";
  EXPECT_EQ(top_level_boxes(dir / "ours.mp4"), (std::vector<std::string>{"ftyp", "free", "mdat", "moov"}));
}

TEST(SegmentWriterTest, RecoveredSegmentIsWhatANormalCloseWrites) {
  TestDir dir;
  const std::string closed = closed_segment(dir, "closed.mp4", FRAMES);
  snapshot_open_segment(dir, "killed.mp4", FRAMES);
  ASSERT_EQ(top_level_boxes(dir / "killed.mp4"), (std::vector<std::string>{"ftyp", "free", "mdat"}));

  std::string error;
  ASSERT_TRUE(recover_segment(dir / "killed.mp4", &error)) << error;
  EXPECT_FALSE(util::file_exists(dir / "killed.mp4.lock"));
  EXPECT_TRUE(util::read_file(dir / "killed.mp4") == closed)
      << "the recovered file differs from the closed one";
}

// What recovery makes of damaged leftovers. Each case starts from the files of a writer killed
// after all FRAMES frames, then damages them.
struct DamageCase {
  const char *name;
  std::function<void(const TestDir &, const std::string &mp4)> damage;
  int frames;  // frames the recovered file holds; 0: the segment is removed
};

void PrintTo(const DamageCase &c, std::ostream *os) {
  *os << c.name;
}

class SegmentRecoveryTest : public ::testing::TestWithParam<DamageCase> {};

off_t frame_end(size_t k) {  // where frame k ends in the file (offsets from the journal)
  TestDir dir;
  SegmentWriter w;
  EXPECT_TRUE(w.open(dir.path(), "probe.mp4", {W, H, FPS, true}));
  write_clip(w, k + 1);
  std::ifstream f(dir / "probe.mp4.lock", std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  segment_journal::Contents c = segment_journal::parse(bytes);
  off_t end = (off_t)c.stream.data_start;
  for (auto &s : c.samples) end += s.size;
  w.close();
  return end;
}

TEST_P(SegmentRecoveryTest, KeepsTheFramesThatAreWholeOnDisk) {
  const DamageCase c = GetParam();
  TestDir dir;
  const std::string mp4 = dir / "seg.mp4";
  snapshot_open_segment(dir, "seg.mp4", FRAMES);
  c.damage(dir, mp4);

  std::string error;
  ASSERT_TRUE(recover_segment(mp4, &error)) << error;
  EXPECT_FALSE(util::file_exists(mp4 + ".lock"));
  if (c.frames == 0) {
    EXPECT_FALSE(util::file_exists(mp4));
    return;
  }
  ASSERT_EQ(top_level_boxes(mp4), (std::vector<std::string>{"ftyp", "free", "mdat", "moov"}));
  EXPECT_EQ(decoded_frames(mp4), c.frames);
  EXPECT_EQ(ffprobe_decode_errors("", mp4), "");
  // The same bytes as a normal close of the frames kept.
  EXPECT_TRUE(util::read_file(mp4) == closed_segment(dir, "expected.mp4", (size_t)c.frames));
}

INSTANTIATE_TEST_SUITE_P(
    Damage, SegmentRecoveryTest,
    ::testing::Values(
        DamageCase{"Untouched", [](const TestDir &, const std::string &) {}, FRAMES},
        DamageCase{"LastFrameTorn",
                   [](const TestDir &, const std::string &mp4) {
                     truncate(mp4.c_str(), frame_end(FRAMES - 1) - 100);
                   },
                   FRAMES - 1},
        DamageCase{"LastRecordTorn",
                   [](const TestDir &, const std::string &mp4) {
                     truncate((mp4 + ".lock").c_str(), size_of(mp4 + ".lock") - 3);
                   },
                   FRAMES - 1},
        DamageCase{"FrameBytesChanged",
                   [](const TestDir &, const std::string &mp4) {
                     int fd = open(mp4.c_str(), O_WRONLY);
                     const uint8_t junk[4] = {0xde, 0xad, 0xbe, 0xef};
                     (void)!pwrite(fd, junk, sizeof(junk), frame_end(9) - 20);  // inside frame 9
                     close(fd);
                   },
                   9},
        DamageCase{"NoFrameOnDisk",
                   [](const TestDir &, const std::string &mp4) { truncate(mp4.c_str(), frame_end(0) - 1); },
                   0},
        DamageCase{"NoStreamInJournal",
                   [](const TestDir &, const std::string &mp4) {
                     truncate((mp4 + ".lock").c_str(), sizeof(segment_journal::kMagic));
                   },
                   0},
        DamageCase{"VideoFileGone", [](const TestDir &, const std::string &mp4) { unlink(mp4.c_str()); }, 0},
        // Closed normally, but the lock file's removal never reached the disk.
        DamageCase{"IndexWrittenAlready",
                   [](const TestDir &dir, const std::string &mp4) {
                     closed_segment(dir, "closed.mp4", FRAMES);
                     std::filesystem::copy_file(dir / "closed.mp4", mp4,
                                                std::filesystem::copy_options::overwrite_existing);
                   },
                   FRAMES}),
    [](const ::testing::TestParamInfo<DamageCase> &i) { return std::string(i.param.name); });

TEST(SegmentRecoveryTest, LeavesASegmentThatIsBeingWrittenAlone) {
  TestDir dir;
  SegmentWriter w;
  ASSERT_TRUE(w.open(dir.path(), "live.mp4", {W, H, FPS, true}));
  write_clip(w, 10);
  const std::string video = util::read_file(dir / "live.mp4"),
                    journal = util::read_file(dir / "live.mp4.lock");

  std::string error;
  EXPECT_FALSE(recover_segment(dir / "live.mp4", &error));
  EXPECT_EQ(error, "in use");
  EXPECT_TRUE(util::read_file(dir / "live.mp4") == video);
  EXPECT_TRUE(util::read_file(dir / "live.mp4.lock") == journal);

  for (size_t i = 10; i < FRAMES; i++) {
    const H264Clip::Packet &p = clip().packets[i];
    w.write_frame(p.data.data(), p.data.size(), pts_us(i), p.sync);
  }
  w.close();
  EXPECT_EQ(decoded_frames(dir / "live.mp4"), FRAMES);
}

// A lock file without a journal: a raw stream, or a segment of a writer from before journals.
TEST(SegmentRecoveryTest, LeavesAFileWithoutJournalAloneUnlessItIsEmpty) {
  TestDir dir;
  std::ofstream(dir / "old.mp4") << "some bytes of a segment";
  std::ofstream(dir / "old.mp4.lock");
  std::string error;
  EXPECT_FALSE(recover_segment(dir / "old.mp4", &error));
  EXPECT_NE(error.find("no journal"), std::string::npos) << error;
  EXPECT_TRUE(util::file_exists(dir / "old.mp4"));
  EXPECT_TRUE(util::file_exists(dir / "old.mp4.lock"));

  std::ofstream(dir / "empty.mp4");
  std::ofstream(dir / "empty.mp4.lock");
  EXPECT_TRUE(recover_segment(dir / "empty.mp4", &error)) << error;
  EXPECT_FALSE(util::file_exists(dir / "empty.mp4"));
  EXPECT_FALSE(util::file_exists(dir / "empty.mp4.lock"));

  EXPECT_TRUE(recover_segment(dir / "never.mp4", &error)) << "no lock file: nothing to do";
}

TEST(SegmentWriterTest, NeverOverwritesAnExistingFile) {
  TestDir dir;
  std::ofstream(dir / "taken.mp4") << "footage";
  SegmentWriter w;
  EXPECT_FALSE(w.open(dir.path(), "taken.mp4", {W, H, FPS, true}));
  EXPECT_EQ(util::read_file(dir / "taken.mp4"), "footage");
  EXPECT_FALSE(util::file_exists(dir / "taken.mp4.lock"));
  EXPECT_FALSE(w.open(dir.path() + "/no/such/dir", "seg.mp4", {W, H, FPS, true}));
  EXPECT_TRUE(w.open(dir.path(), "free.mp4", {W, H, FPS, true}));
  w.close();
}

// The index needs room too: on a file system that is full when the segment closes, frames are
// given up from the end until the index fits, and the file is what a normal close of the frames
// kept would have written.
TEST(SegmentWriterTest, NoRoomForTheIndexCostsFramesFromTheEnd) {
  TestDir dir;
  const std::string fs = dir / "fs";
  ASSERT_EQ(mkdir(fs.c_str(), 0755), 0);
  TmpfsMount mount(fs, 8 << 20);
  if (!mount.mounted()) GTEST_SKIP() << "cannot mount a small file system here: " << mount.error();

  // Enough frames for an index larger than the page the file's last bytes leave free.
  const size_t n = 1500;
  SegmentWriter w;
  ASSERT_TRUE(w.open(fs, "seg.mp4", {W, H, FPS, true}));
  write_clip(w, n);
  ASSERT_FALSE(w.failed());
  {
    std::ofstream filler(fs + "/filler", std::ios::binary);
    std::vector<char> block(4096, 0);
    while (filler.write(block.data(), block.size())) {
    }
  }
  w.close();
  EXPECT_FALSE(util::file_exists(fs + "/seg.mp4.lock"));
  const int frames = decoded_frames(fs + "/seg.mp4");
  ASSERT_GT(frames, 0);
  EXPECT_LT(frames, (int)n);
  EXPECT_TRUE(util::read_file(fs + "/seg.mp4") == closed_segment(dir, "expected.mp4", (size_t)frames));
}
