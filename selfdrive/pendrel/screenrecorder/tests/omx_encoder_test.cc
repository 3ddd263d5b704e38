// OmxEncoder end to end on the platform's OpenMAX core, with ffprobe judging the output files.

#include "selfdrive/pendrel/screenrecorder/omx_encoder.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <stdexcept>

#include <gtest/gtest.h>

#include "common/exit_handler.h"
#include "common/util.h"
#include "tests/support/child_process.h"
#include "tests/support/signal_pipe.h"
#include "tests/support/temp_dir.h"
#include "encoder_test_util.h"
#include "tests/support/x265_leak_suppression.h"

namespace {

constexpr int FPS = 10;
constexpr int BITRATE = 2560000;
constexpr uint64_t FRAME_NS = 1000000000ULL / FPS;
// The encoder asks its component for a sync frame every 16 frames (15 P frames between).
constexpr int SYNC_PERIOD = 16;

// Submits `n` moving frames, numbered from `first`, at timestamps (index + 1) frame intervals
// after the segment start.
void encode_frames(OmxEncoder &e, int w, int h, int first, int n, int first_ts_index = 1) {
  for (int i = 0; i < n; i++) {
    Nv12Frame f(w, h, first + i);
    uint64_t ts = (uint64_t)(first_ts_index + i) * FRAME_NS;
    ASSERT_EQ(e.encode_frame_nv12(f.y.data(), w, f.uv.data(), w, w, h, ts), i);
  }
}

struct Packet {
  bool key;
  double pts;
};

std::vector<Packet> packets_of(const std::string &file) {
  std::vector<Packet> out;
  nlohmann::json j = ffprobe_json("-select_streams v:0 -show_entries packet=pts_time,flags", file);
  if (j.is_null()) return out;
  for (auto &p : j["packets"]) {
    out.push_back({p["flags"].get<std::string>()[0] == 'K', std::stod(p["pts_time"].get<std::string>())});
  }
  return out;
}

std::vector<bool> decoded_key_frames(const std::string &file) {
  std::vector<bool> out;
  nlohmann::json j = ffprobe_json("-select_streams v:0 -show_entries frame=key_frame", file);
  if (j.is_null()) return out;
  for (auto &f : j["frames"]) out.push_back(f["key_frame"].get<int>() == 1);
  return out;
}

nlohmann::json stream_of(const std::string &file, const std::string &extra_args = "") {
  nlohmann::json j = ffprobe_json(extra_args + " -show_streams -show_data", file);
  if (j.is_null() || j["streams"].empty()) return nullptr;
  return j["streams"][0];
}

}  // namespace

// Frame size chosen so that neither dimension is a multiple of the padded layout's alignment.
constexpr int W = 330, H = 250;

TEST(OmxEncoderTest, Mp4SegmentHoldsEveryFrameAsHighProfileH264) {
  TestDir dir;
  const int n = 2 * SYNC_PERIOD + 5;
  {
    OmxEncoder e(dir.path().c_str(), W, H, FPS, BITRATE, false, false);
    ASSERT_TRUE(e.encoder_open("seg.mp4"));
    EXPECT_TRUE(util::file_exists(dir / "seg.mp4.lock"));
    encode_frames(e, W, H, 0, n);
    e.encoder_close();
    EXPECT_FALSE(e.is_open);
  }
  EXPECT_FALSE(util::file_exists(dir / "seg.mp4.lock"));

  nlohmann::json s = stream_of(dir / "seg.mp4");
  ASSERT_FALSE(s.is_null());
  EXPECT_EQ(s["codec_name"], "h264");
  EXPECT_EQ(s["profile"], "High");
  EXPECT_EQ(s["width"], W);
  EXPECT_EQ(s["height"], H);
  EXPECT_EQ(s["r_frame_rate"], "10/1");
  EXPECT_EQ(s["nb_frames"], std::to_string(n));
  // The index at the end, as every reader expects; the duration is the frames' (the last one
  // counts its fixed 50 ms), within one frame interval.
  EXPECT_EQ(top_level_boxes(dir / "seg.mp4"), (std::vector<std::string>{"ftyp", "free", "mdat", "moov"}));
  EXPECT_NEAR(std::stod(s["duration"].get<std::string>()), n * 0.1, 0.1);

  // Packets in submission order, one frame interval apart, key where the component flagged a
  // sync frame, which the decoder confirms.
  std::vector<Packet> pk = packets_of(dir / "seg.mp4");
  ASSERT_EQ((int)pk.size(), n);
  std::vector<bool> decoded = decoded_key_frames(dir / "seg.mp4");
  ASSERT_EQ((int)decoded.size(), n);
  for (int i = 0; i < n; i++) {
    EXPECT_NEAR(pk[i].pts - pk[0].pts, i * 0.1, 1e-3) << i;
    EXPECT_EQ(pk[i].key, i % SYNC_PERIOD == 0) << i;
    EXPECT_EQ(decoded[i], pk[i].key) << i;
  }
  EXPECT_EQ(ffprobe_decode_errors("", dir / "seg.mp4"), "");
}

TEST(OmxEncoderTest, LaterSegmentsTakeTheirHeaderFromTheStoredConfiguration) {
  TestDir dir;
  const int per_segment = 12;
  OmxEncoder e(dir.path().c_str(), W, H, FPS, BITRATE, false, false);
  for (int seg = 0; seg < 3; seg++) {
    ASSERT_TRUE(e.encoder_open(("seg" + std::to_string(seg) + ".mp4").c_str()));
    encode_frames(e, W, H, seg * per_segment, per_segment);
    e.encoder_close();
  }
  ASSERT_GT(e.codec_config_len, 0u);

  std::string first_extradata;
  for (int seg = 0; seg < 3; seg++) {
    std::string file = dir / ("seg" + std::to_string(seg) + ".mp4");
    EXPECT_FALSE(util::file_exists(file + ".lock"));
    nlohmann::json s = stream_of(file);
    ASSERT_FALSE(s.is_null()) << file;
    EXPECT_EQ(s["nb_frames"], std::to_string(per_segment)) << file;
    ASSERT_TRUE(s.contains("extradata")) << file;
    if (seg == 0) first_extradata = s["extradata"];
    EXPECT_EQ(s["extradata"], first_extradata) << file;

    // Every segment starts with a sync frame and keeps the period from there, so it plays
    // from its first frame without the previous segment.
    std::vector<Packet> pk = packets_of(file);
    ASSERT_EQ((int)pk.size(), per_segment);
    for (int i = 0; i < per_segment; i++) {
      EXPECT_EQ(pk[i].key, i % SYNC_PERIOD == 0) << file << " frame " << i;
    }
    std::vector<bool> decoded = decoded_key_frames(file);
    ASSERT_EQ((int)decoded.size(), per_segment) << file;
    EXPECT_TRUE(decoded[0]) << file;
    EXPECT_EQ(ffprobe_decode_errors("", file), "") << file;
  }
}

TEST(OmxEncoderTest, OutputWithTimestampZeroIsNotWrittenAsAFrame) {
  TestDir dir;
  OmxEncoder e(dir.path().c_str(), W, H, FPS, BITRATE, false, false);
  ASSERT_TRUE(e.encoder_open("zero.mp4"));
  // The first frame at 0 ns, then 999 ns (0 µs after the integer division), then normal ones.
  Nv12Frame f(W, H, 0);
  EXPECT_EQ(e.encode_frame_nv12(f.y.data(), W, f.uv.data(), W, W, H, 0), 0);
  EXPECT_EQ(e.encode_frame_nv12(f.y.data(), W, f.uv.data(), W, W, H, 999), 1);
  for (int i = 2; i < 10; i++) {
    Nv12Frame g(W, H, i);
    EXPECT_EQ(e.encode_frame_nv12(g.y.data(), W, g.uv.data(), W, W, H, i * FRAME_NS), i);
  }
  e.encoder_close();
  EXPECT_EQ(packets_of(dir / "zero.mp4").size(), 8u);
}

TEST(OmxEncoderTest, HevcGivesARawStreamThatDecodes) {
  TestDir dir;
  const int n = 15;
  {
    OmxEncoder e(dir.path().c_str(), W, H, FPS, BITRATE, true, false);
    EXPECT_FALSE(e.remuxing);
    ASSERT_TRUE(e.encoder_open("seg.hevc"));
    encode_frames(e, W, H, 0, n);
    e.encoder_close();
  }
  EXPECT_FALSE(util::file_exists(dir / "seg.hevc.lock"));
  nlohmann::json s = stream_of(dir / "seg.hevc", "-f hevc -count_frames");
  ASSERT_FALSE(s.is_null());
  EXPECT_EQ(s["codec_name"], "hevc");
  EXPECT_EQ(s["profile"], "Main");
  EXPECT_EQ(s["width"], W);
  EXPECT_EQ(s["height"], H);
  EXPECT_EQ(s["nb_read_frames"], std::to_string(n));
  EXPECT_EQ(ffprobe_decode_errors("-f hevc", dir / "seg.hevc"), "");
}

TEST(OmxEncoderTest, RefusesFramesWithoutAnOpenSegmentAndCountsPerSegment) {
  TestDir dir;
  OmxEncoder e(dir.path().c_str(), W, H, FPS, BITRATE, false, false);
  Nv12Frame f(W, H, 0);
  const size_t free_before = e.free_in.size();
  EXPECT_EQ(e.encode_frame_nv12(f.y.data(), W, f.uv.data(), W, W, H, FRAME_NS), -1);
  EXPECT_EQ(e.free_in.size(), free_before);
  EXPECT_FALSE(e.dirty);

  ASSERT_TRUE(e.encoder_open("a.mp4"));
  EXPECT_EQ(e.encode_frame_nv12(f.y.data(), W, f.uv.data(), W, W, H, FRAME_NS), 0);
  EXPECT_EQ(e.encode_frame_nv12(f.y.data(), W, f.uv.data(), W, W, H, 2 * FRAME_NS), 1);
  e.encoder_close();
  EXPECT_EQ(e.encode_frame_nv12(f.y.data(), W, f.uv.data(), W, W, H, FRAME_NS), -1);
  e.encoder_close();  // twice is harmless
  EXPECT_FALSE(e.is_open);

  ASSERT_TRUE(e.encoder_open("b.mp4"));
  EXPECT_EQ(e.encode_frame_nv12(f.y.data(), W, f.uv.data(), W, W, H, FRAME_NS), 0);
  e.encoder_close();
  EXPECT_EQ(packets_of(dir / "a.mp4").size(), 2u);
  EXPECT_EQ(packets_of(dir / "b.mp4").size(), 1u);
}

TEST(OmxEncoderTest, ExitRequestWhileWaitingForAnInputBufferRefusesTheFrame) {
  TestDir dir;
  OmxEncoder e(dir.path().c_str(), W, H, FPS, BITRATE, false, false);
  ASSERT_TRUE(e.encoder_open("exit.mp4"));
  Nv12Frame f(W, H, 0);
  ASSERT_EQ(e.encode_frame_nv12(f.y.data(), W, f.uv.data(), W, W, H, FRAME_NS), 0);

  // Hold every input buffer, as a component that is slow to return them would.
  std::vector<OMX_BUFFERHEADERTYPE *> held;
  while (held.size() < e.in_buf_headers.size()) {
    OMX_BUFFERHEADERTYPE *b;
    ASSERT_TRUE(e.free_in.try_pop(b, 5000));
    held.push_back(b);
  }
  ExitHandler flag;
  flag = true;
  EXPECT_EQ(e.encode_frame_nv12(f.y.data(), W, f.uv.data(), W, W, H, 2 * FRAME_NS), -1);
  EXPECT_EQ(e.encode_frame_rgba(std::vector<uint8_t>((size_t)W * H * 4).data(), W, H, 2 * FRAME_NS), -1);
  EXPECT_EQ(e.counter, 1);
  flag = false;

  for (auto *b : held) e.free_in.push(b);
  EXPECT_EQ(e.encode_frame_nv12(f.y.data(), W, f.uv.data(), W, W, H, 2 * FRAME_NS), 1);
  e.encoder_close();
  EXPECT_EQ(packets_of(dir / "exit.mp4").size(), 2u);
}

TEST(OmxEncoderTest, SegmentClosedBeforeAnyFrameLeavesNoFileBehind) {
  TestDir dir;
  for (bool h265 : {false, true}) {
    OmxEncoder e(dir.path().c_str(), W, H, FPS, BITRATE, h265, false);
    const std::string name = h265 ? "empty.hevc" : "empty.mp4";
    ASSERT_TRUE(e.encoder_open(name.c_str()));
    EXPECT_TRUE(util::file_exists(dir / name + ".lock"));
    e.encoder_close();
    EXPECT_FALSE(util::file_exists(dir / name)) << name;
    EXPECT_FALSE(util::file_exists(dir / name + ".lock")) << name;
  }
}

TEST(OmxEncoderTest, OpenCreatesTheMissingOutputDirectory) {
  TestDir dir;
  std::string sub = dir / "trip";
  OmxEncoder e(sub.c_str(), W, H, FPS, BITRATE, false, false);
  ASSERT_TRUE(e.encoder_open("seg.mp4"));
  encode_frames(e, W, H, 0, 3);
  e.encoder_close();
  EXPECT_EQ(packets_of(sub + "/seg.mp4").size(), 3u);
}

TEST(OmxEncoderTest, ProcessKilledWithASegmentOpenLeavesTheLockFile) {
  TestDir dir;
  Signal segment_open;
  const pid_t pid = fork_child([&] {
    OmxEncoder e(dir.path().c_str(), W, H, FPS, BITRATE, false, false);
    if (!e.encoder_open("killed.mp4")) return 3;
    Nv12Frame f(W, H, 0);
    for (int i = 0; i < 5; i++) e.encode_frame_nv12(f.y.data(), W, f.uv.data(), W, W, H, (i + 1) * FRAME_NS);
    segment_open.notify();
    pause();  // until killed, the segment open
    return 0;
  });
  ASSERT_GT(pid, 0);
  const bool opened = segment_open.wait(30000);
  kill(pid, SIGKILL);
  const std::optional<int> status = wait_child_status(pid, std::chrono::seconds(10));
  ASSERT_TRUE(opened) << "the child did not open a segment";
  ASSERT_TRUE(status && WIFSIGNALED(*status));
  EXPECT_TRUE(util::file_exists(dir / "killed.mp4.lock"));
  EXPECT_TRUE(util::file_exists(dir / "killed.mp4"));
}

// Decoded pictures against their sources: a plane copied to the wrong place in the component's
// padded layout, or rows of the wrong length, ruin the picture while the stream stays valid.
struct PictureCase {
  const char *name;
  int width, height;        // the encoder's frame
  int src_width, src_height;  // the camera's frame; larger ones are cropped to the top left
};

void PrintTo(const PictureCase &c, std::ostream *os) { *os << c.name; }

class OmxEncoderPictureTest : public ::testing::TestWithParam<PictureCase> {};

TEST_P(OmxEncoderPictureTest, DecodedFramesMatchTheSource) {
  const PictureCase c = GetParam();
  TestDir dir;
  const int n = 6;
  std::vector<Nv12Frame> expected;
  {
    OmxEncoder e(dir.path().c_str(), c.width, c.height, FPS, BITRATE, false, false);
    ASSERT_TRUE(e.encoder_open("picture.mp4"));
    for (int i = 0; i < n; i++) {
      Nv12Frame src(c.src_width, c.src_height, i);
      ASSERT_EQ(e.encode_frame_nv12(src.y.data(), c.src_width, src.uv.data(), c.src_width, c.src_width, c.src_height,
                                    (i + 1) * FRAME_NS),
                i);
      expected.push_back(crop_of(src, c.width, c.height));
    }
    e.encoder_close();
  }
  std::vector<std::vector<uint8_t>> decoded = decode_nv12(dir / "picture.mp4", c.width, c.height);
  ASSERT_EQ((int)decoded.size(), n);
  for (int i = 0; i < n; i++) {
    PicturePsnr p = psnr_of(expected[i], decoded[i]);
    EXPECT_GT(p.y, 30.0) << "frame " << i;
    EXPECT_GT(p.uv, 30.0) << "frame " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, OmxEncoderPictureTest,
                         ::testing::Values(PictureCase{"RoadCamera", 1928, 1208, 1928, 1208},
                                           // No side a multiple of the layout's alignments; odd chroma
                                           // width and height (165×125).
                                           PictureCase{"Unaligned", W, H, W, H},
                                           // Read with the camera's own row stride.
                                           PictureCase{"LargerSource", 128, 96, 2 * 128, 2 * 96}),
                         [](const ::testing::TestParamInfo<PictureCase> &i) { return std::string(i.param.name); });

// A source larger than the encoder's frame is cut to it: nothing lands in the padding of the
// component's layout (nor past it, with a source larger still).
TEST(OmxEncoderTest, LargerSourceIsCroppedToTheEncoderFrame) {
  TestDir dir;
  const int w = 100, h = 90;                // padded: stride 128, 96 Y rows, 48 UV rows
  const int src_w = w + 20, src_h = h + 4;  // spills fit inside the padding
  const uint8_t canary = 0xA5;
  OmxEncoder e(dir.path().c_str(), w, h, FPS, BITRATE, false, false);
  std::vector<OMX_BUFFERHEADERTYPE *> inputs;
  OMX_BUFFERHEADERTYPE *b;
  while (e.free_in.try_pop(b, 0)) inputs.push_back(b);
  ASSERT_EQ(inputs.size(), e.in_buf_headers.size());
  for (auto *in : inputs) {
    memset(in->pBuffer, canary, in->nAllocLen);
    e.free_in.push(in);
  }

  ASSERT_TRUE(e.encoder_open("crop.mp4"));
  for (int i = 0; i < 2 * (int)inputs.size(); i++) {  // every input buffer at least once
    Nv12Frame src(src_w, src_h, i);
    ASSERT_EQ(e.encode_frame_nv12(src.y.data(), src_w, src.uv.data(), src_w, src_w, src_h, (i + 1) * FRAME_NS), i);
  }
  e.encoder_close();
  ASSERT_EQ(e.free_in.size(), inputs.size());

  const int stride = (int)VENUS_Y_STRIDE(COLOR_FMT_NV12, w);
  const int y_rows = (int)VENUS_Y_SCANLINES(COLOR_FMT_NV12, h);
  const int uv_rows = (int)VENUS_UV_SCANLINES(COLOR_FMT_NV12, h);
  auto in_picture = [&](int row, int col) { return col < w && (row < h || (row >= y_rows && row - y_rows < h / 2)); };
  for (auto *in : inputs) {
    int touched = 0;
    for (int row = 0; row < y_rows + uv_rows; row++) {
      for (int col = 0; col < stride; col++) {
        if (!in_picture(row, col) && in->pBuffer[(size_t)row * stride + col] != canary) touched++;
      }
    }
    EXPECT_EQ(touched, 0) << "padding bytes written";
  }
  EXPECT_EQ(packets_of(dir / "crop.mp4").size(), 2 * inputs.size());
}

TEST(OmxEncoderTest, RgbaFramesAreConvertedAndEncoded) {
  TestDir dir;
  OmxEncoder e(dir.path().c_str(), W, H, FPS, BITRATE, false, false);
  ASSERT_TRUE(e.encoder_open("rgba.mp4"));
  std::vector<uint8_t> rgba((size_t)W * H * 4);
  for (int i = 0; i < 6; i++) {
    for (size_t p = 0; p < rgba.size(); p++) rgba[p] = (uint8_t)(p * 7 + i * 13);
    EXPECT_EQ(e.encode_frame_rgba(rgba.data(), 0, 0, (i + 1) * FRAME_NS), i);
  }
  e.encoder_close();
  EXPECT_EQ(packets_of(dir / "rgba.mp4").size(), 6u);
  EXPECT_EQ(ffprobe_decode_errors("", dir / "rgba.mp4"), "");
}

// Events the encoder never asks for are logged and change nothing: frames keep flowing.
TEST(OmxEncoderTest, EventsNotAskedForChangeNothing) {
  TestDir dir;
  OmxEncoder e(dir.path().c_str(), W, H, FPS, BITRATE, false, false);
  ASSERT_TRUE(e.encoder_open("events.mp4"));
  encode_frames(e, W, H, 0, 3);
  OmxEncoder::event_handler(e.handle, &e, OMX_EventCmdComplete, OMX_CommandFlush, 0, NULL);
  OmxEncoder::event_handler(e.handle, &e, OMX_EventPortSettingsChanged, 1, 0, NULL);
  {
    std::lock_guard<std::mutex> lk(e.state_lock);
    EXPECT_EQ(e.state, OMX_StateExecuting);
  }
  EXPECT_FALSE(e.component_failed());
  for (int i = 3; i < 10; i++) {
    Nv12Frame f(W, H, i);
    EXPECT_EQ(e.encode_frame_nv12(f.y.data(), W, f.uv.data(), W, W, H, (i + 1) * FRAME_NS), i);
  }
  e.encoder_close();
  EXPECT_EQ(packets_of(dir / "events.mp4").size(), 10u);
  EXPECT_EQ(e.free_in.size(), e.in_buf_headers.size());
}

TEST(OmxEncoderTest, ConstructionIsRefusedWhenNoComponentIsAvailable) {
  TestDir dir;
  // The platform serves a limited number of encoder sessions at once.
  std::vector<std::unique_ptr<OmxEncoder>> sessions;
  bool refused = false;
  for (int i = 0; i < 16 && !refused; i++) {
    try {
      sessions.push_back(std::make_unique<OmxEncoder>(dir.path().c_str(), 64, 64, FPS, BITRATE, false, false));
    } catch (const std::runtime_error &err) {
      refused = true;
      EXPECT_NE(std::string(err.what()).find("error getting codec"), std::string::npos);
    }
  }
  EXPECT_TRUE(refused);
  EXPECT_GE(sessions.size(), 1u);
  // Freeing one makes room again.
  sessions.pop_back();
  EXPECT_NO_THROW(sessions.push_back(std::make_unique<OmxEncoder>(dir.path().c_str(), 64, 64, FPS, BITRATE, false, false)));
}

TEST(OmxEncoderDeathTest, DestroyingWithASegmentOpenIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TestDir dir;
  EXPECT_DEATH(
      {
        OmxEncoder e(dir.path().c_str(), 64, 64, FPS, BITRATE, false, false);
        e.encoder_open("open.mp4");
      },
      "!this->is_open");
}

TEST(OmxEncoderTest, SegmentPathsThatDoNotFitAreRefused) {
  TestDir dir;
  // Fits as a video path but not with ".lock" added: cut, the lock path would be the video file.
  std::string name;
  while (dir.path().size() + 1 + name.size() + 250 < 1023) {
    name += std::string(200, 'd') + "/";
    ASSERT_EQ(mkdir((dir / name).c_str(), 0755), 0);
  }
  name += std::string(1023 - dir.path().size() - 1 - name.size() - 4, 'a') + ".mp4";
  ASSERT_EQ(dir.path().size() + 1 + name.size(), 1023u);
  OmxEncoder e(dir.path().c_str(), 64, 64, FPS, BITRATE, false, false);
  EXPECT_FALSE(e.encoder_open(name.c_str()));
  EXPECT_FALSE(e.is_open);
  EXPECT_FALSE(util::file_exists(dir / name));
  EXPECT_FALSE(util::file_exists(dir / name + ".lock"));
  // The encoder goes on with a name that fits.
  EXPECT_TRUE(e.encoder_open("short.mp4"));
  encode_frames(e, 64, 64, 0, 2);
  e.encoder_close();
  EXPECT_EQ(packets_of(dir / "short.mp4").size(), 2u);
}
