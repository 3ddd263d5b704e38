// The camera server as a process on inputs made with the ffmpeg command, read back through a
// real vision IPC client: rate, geometry, content and frame stamps, network outages, missing
// and bad inputs.

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <cmath>

#include <gtest/gtest.h>

#include "common/timing.h"
#include "pc/tests/pc_test_support.h"
#include "pc/tests/stream_reader.h"

using namespace pc_test;

namespace {

constexpr int CONNECT_TIMEOUT_MS = 30000;
constexpr uint64_t TICK_NS = 50000000;  // 20 frames/s

// Where every served frame came from: the source picture it matches best, and how well.
struct SourceMatch {
  int index = -1;
  double psnr = 0;
};

// The source picture of every served frame. The first is found by searching the whole source;
// the others are predicted from their start-of-frame stamps (the source's own timing) and
// checked against the pictures next to the prediction.
std::vector<SourceMatch> match_to_source(const std::string &file, double source_fps,
                                         const std::vector<ServedFrame> &frames) {
  const int w = frames[0].width, h = frames[0].height;
  const size_t n = frames[0].nv12.size();
  SourceMatch first;
  for_each_source_frame(file, w, h, [&](int i, const std::vector<uint8_t> &pic) {
    const double p = psnr(pic.data(), frames[0].nv12.data(), n);
    if (p > first.psnr) first = {i, p};
    return true;
  });
  std::vector<int> predicted;
  for (auto &f : frames) {
    const double seconds = ((double)f.extra.timestamp_sof - (double)frames[0].extra.timestamp_sof) * 1e-9;
    predicted.push_back(first.index + (int)std::lround(seconds * source_fps));
  }
  std::vector<SourceMatch> best(frames.size());
  const int last = *std::max_element(predicted.begin(), predicted.end()) + 1;
  for_each_source_frame(file, w, h, [&](int i, const std::vector<uint8_t> &pic) {
    for (size_t k = 0; k < frames.size(); k++) {
      if (std::abs(predicted[k] - i) > 1) continue;
      const double p = psnr(pic.data(), frames[k].nv12.data(), n);
      if (p > best[k].psnr) best[k] = {i, p};
    }
    return i < last;
  });
  for (size_t k = 0; k < frames.size(); k++) {
    EXPECT_EQ(best[k].index, predicted[k])
        << "frame " << k << ": its content is not the picture its stamp names";
  }
  return best;
}

template <typename T>
T median(std::vector<T> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

class CameraServerTest : public ::testing::Test {
 protected:
  std::unique_ptr<ChildProcess> start_camera(std::vector<std::string> args,
                                             const std::string &name = "camera") {
    args.insert(args.begin(), CAMERA_SERVER);
    return world_.start(name, args);
  }
  void TearDown() override {
    if (HasFailure()) world_.keep();
  }
  PcWorld world_{RUNS_DIR};
};

struct FileCase {
  const char *name;
  const char *ffmpeg_output;  // codec options and file name
  int width, height;
  double fps;
};

void PrintTo(const FileCase &c, std::ostream *os) {
  *os << c.name;
}

class CameraFileInput : public CameraServerTest, public ::testing::WithParamInterface<FileCase> {};

// What a webcam sends (MJPEG, full-range 4:2:2), a usual camera recording (H.264 at 30
// frames/s, so pictures are dropped) and a slow source (10 frames/s, so pictures repeat).
INSTANTIATE_TEST_SUITE_P(
    Camera, CameraFileInput,
    ::testing::Values(FileCase{"H264_1280x720_30fps",
                               "-c:v libx264 -preset ultrafast -pix_fmt yuv420p in.mp4", 1280, 720, 30},
                      FileCase{"MJPEG_640x480_30fps", "-c:v mjpeg -pix_fmt yuvj422p -q:v 3 in.avi", 640, 480,
                               30},
                      FileCase{"H264_320x240_10fps", "-c:v libx264 -preset ultrafast -pix_fmt yuv420p in.mp4",
                               320, 240, 10}),
    [](const ::testing::TestParamInfo<FileCase> &info) { return std::string(info.param.name); });

TEST_P(CameraFileInput, ServedAtTheRecorderRateWithTheSourcesPicturesAndStamps) {
  const FileCase &c = GetParam();
  const std::string out = c.ffmpeg_output;
  const std::string file = world_.path(out.substr(out.rfind(' ') + 1));
  ASSERT_TRUE(ffmpeg("-f lavfi -i testsrc2=size=" + std::to_string(c.width) + "x" + std::to_string(c.height) +
                     ":rate=" + std::to_string((int)c.fps) + " -t 6 " + out.substr(0, out.rfind(' ')) + " " +
                     file));

  auto camera = start_camera({"--input", file});
  StreamReader reader;
  ASSERT_TRUE(reader.connect(CONNECT_TIMEOUT_MS)) << camera->output();
  const std::vector<ServedFrame> frames = reader.receive(40, 20000);
  ASSERT_EQ(frames.size(), 40u) << camera->output();

  for (auto &f : frames) {
    ASSERT_EQ(f.width, c.width);
    ASSERT_EQ(f.height, c.height);
  }
  // Frame ids count the frames served; the end-of-frame stamps (when each frame went out)
  // are one tick of 20 frames/s apart, give or take the scheduling of the sending thread.
  std::vector<int64_t> gaps;
  std::vector<uint64_t> staleness;
  for (size_t k = 1; k < frames.size(); k++) {
    EXPECT_EQ(frames[k].extra.frame_id, frames[k - 1].extra.frame_id + 1);
    gaps.push_back((int64_t)(frames[k].extra.timestamp_eof - frames[k - 1].extra.timestamp_eof));
  }
  EXPECT_NEAR(median(gaps), (int64_t)TICK_NS, 5000000);
  // A frame goes out once it is due, never before: the newest due picture on every tick.
  for (auto &f : frames) {
    EXPECT_LE(f.extra.timestamp_sof, f.extra.timestamp_eof);
    staleness.push_back(f.extra.timestamp_eof - f.extra.timestamp_sof);
  }
  EXPECT_LT(median(staleness), (uint64_t)(1e9 / c.fps) + TICK_NS) << "the file does not play in real time";

  const std::vector<SourceMatch> matches = match_to_source(file, c.fps, frames);
  int repeats = 0, drops = 0;
  for (size_t k = 0; k < matches.size(); k++) {
    EXPECT_GE(matches[k].psnr, 30.0) << "frame " << k;
    if (k == 0) continue;
    EXPECT_GE(matches[k].index, matches[k - 1].index) << "frame " << k << " goes back in time";
    repeats += matches[k].index == matches[k - 1].index;
    drops += matches[k].index > matches[k - 1].index + 1;
  }
  if (c.fps > 20) {
    EXPECT_GT(drops, 5) << "a faster source loses pictures";
  }
  if (c.fps < 20) {
    EXPECT_GT(repeats, 10) << "a slower source's pictures are repeated";
  }
  // Ctrl-C ends it cleanly (in a sanitizer build: without a leak).
  EXPECT_EQ(camera->stop(SIGINT, 20000), 0) << camera->output();
}

// A network camera that goes away and comes back: the stream is cut, the server logs it once,
// retries while the camera is down, and frames resume on the same vision server.
TEST_F(CameraServerTest, NetworkStreamCutAndRestartedResumesOnTheSameServer) {
  const std::string source = world_.path("source.ts");
  ASSERT_TRUE(ffmpeg("-f lavfi -i testsrc2=size=320x240:rate=30 -t 4 -c:v libx264 -preset ultrafast -g 15 " +
                     source));
  const int port = free_tcp_port();
  ASSERT_GT(port, 0);
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/live.ts";
  auto start_network_camera = [&](const std::string &name) {
    return world_.start(name, {"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-re", "-stream_loop", "-1",
                               "-i", source, "-c", "copy", "-f", "mpegts", "-listen", "1", url});
  };

  auto network_camera = start_network_camera("network1");
  auto camera = start_camera({"--input", url, "--read-timeout", "2"});
  StreamReader reader;
  ASSERT_TRUE(reader.connect(CONNECT_TIMEOUT_MS)) << camera->output();
  const auto before = reader.receive(10, 20000);
  ASSERT_EQ(before.size(), 10u) << camera->output();

  network_camera->stop(SIGKILL);
  const size_t cut_at = camera->output().size();
  // The server is down until the camera server has tried at least once more.
  ASSERT_TRUE(wait_until(
      [&] { return count_occurrences(camera->output().substr(cut_at), "camera: attempt ") >= 1; }, 30s, 20ms))
      << camera->output();
  const uint64_t restart_ns = nanos_since_boot();
  network_camera = start_network_camera("network2");

  // Frames already queued before the cut are not the resumed stream.
  std::vector<ServedFrame> after;
  ASSERT_TRUE(wait_until(
      [&] {
        for (auto &f : reader.receive(1, 500)) {
          if (f.extra.timestamp_sof > restart_ns) after.push_back(std::move(f));
        }
        return after.size() >= 10 || !reader.connected();
      },
      30s, 20ms))
      << camera->output();
  EXPECT_TRUE(reader.connected()) << "the vision server was restarted";
  ASSERT_GE(after.size(), 10u);
  EXPECT_GT(after[0].extra.frame_id, before.back().extra.frame_id);
  EXPECT_EQ(after[0].width, 320);

  // One outage, logged once when it began and once when it ended.
  const std::string log = camera->output().substr(cut_at);
  EXPECT_EQ(count_occurrences(log, "camera: " + url + " ended; reopening") +
                count_occurrences(log, "camera: " + url + " failed: "),
            1)
      << log;
  EXPECT_EQ(count_occurrences(log, "camera: cannot open"), 0) << "a retry was logged as a new outage\n"
                                                              << log;
  EXPECT_EQ(count_occurrences(log, "camera: " + url + " back after "), 1) << log;
  EXPECT_EQ(camera->stop(SIGINT, 20000), 0) << camera->output();
}

// An input that is not there: a clear error once, then retries at debug level. A camera not
// plugged in is served all the same when the stream's size is given; a file that appears
// later is served from its first picture.
TEST_F(CameraServerTest, MissingInputIsReportedOnceAndRetried) {
  const std::string device = "/dev/video99";
  struct stat st;
  ASSERT_NE(stat(device.c_str(), &st), 0) << device << " exists on this machine";
  auto missing_device = start_camera({"--input", device, "--size", "320x240"}, "camera_device");
  {
    StreamReader reader;
    ASSERT_TRUE(reader.connect(CONNECT_TIMEOUT_MS)) << missing_device->output();
  }
  ASSERT_TRUE(wait_until([&] { return count_occurrences(missing_device->output(), "camera: attempt ") >= 2; },
                         30s, 20ms))
      << missing_device->output();
  EXPECT_EQ(count_occurrences(missing_device->output(),
                              "camera: cannot open /dev/video99: No such file or directory; retrying"),
            1)
      << missing_device->output();
  EXPECT_EQ(missing_device->stop(SIGINT, 20000), 0) << missing_device->output();

  const std::string later = world_.path("later.mp4");
  auto missing_file = start_camera({"--input", later}, "camera_file");
  ASSERT_TRUE(wait_until([&] { return count_occurrences(missing_file->output(), "camera: attempt ") >= 1; },
                         30s, 20ms))
      << missing_file->output();
  EXPECT_EQ(count_occurrences(missing_file->output(),
                              "camera: cannot open " + later + ": No such file or directory"),
            1)
      << missing_file->output();
  ASSERT_TRUE(ffmpeg("-f lavfi -i testsrc2=size=320x240:rate=30 -t 4 -c:v libx264 -preset ultrafast " +
                     world_.path("tmp.mp4")));
  fs::rename(world_.path("tmp.mp4"), later);
  StreamReader reader;
  ASSERT_TRUE(reader.connect(CONNECT_TIMEOUT_MS)) << missing_file->output();
  EXPECT_EQ(reader.receive(5, 20000).size(), 5u);
  EXPECT_EQ(count_occurrences(missing_file->output(), "back after"), 1) << missing_file->output();
}

// Garbage instead of a video is refused with a clear error and retried; damage in the middle
// of a file costs the damaged pictures, not the stream.
TEST_F(CameraServerTest, CorruptFilesCostOnlyTheirDamagedPictures) {
  // Fixed noise, the same in every run: fresh noise now and then reads as a video (an H.263
  // stream was seen), and a second server of the stream then ran beside the damaged file's.
  std::mt19937 noise(20261210);
  const std::string garbage = world_.path("garbage.mp4");
  {
    std::ofstream f(garbage, std::ios::binary);
    std::string bytes(100000, '\0');
    for (auto &b : bytes) b = (char)(noise() & 0xff);
    f << bytes;
  }
  auto garbage_camera = start_camera({"--input", garbage}, "camera_garbage");

  const std::string damaged = world_.path("damaged.ts");
  ASSERT_TRUE(ffmpeg("-f lavfi -i testsrc2=size=320x240:rate=30 -t 8 -c:v libx264 -preset ultrafast -g 15 " +
                     damaged));
  const std::string clean = world_.path("clean.ts");
  fs::copy_file(damaged, clean);
  const auto size = fs::file_size(damaged);
  {
    // 20 kB of noise a quarter into the file, about 2 s in.
    std::fstream f(damaged, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(size / 4);
    for (int i = 0; i < 20000; i++) f.put((char)(noise() & 0xff));
  }
  auto damaged_camera = start_camera({"--input", damaged}, "camera_damaged");

  StreamReader reader;
  ASSERT_TRUE(reader.connect(CONNECT_TIMEOUT_MS)) << damaged_camera->output();
  const auto frames = reader.receive(100, 30000);  // 5 s: past the damage
  ASSERT_EQ(frames.size(), 100u) << damaged_camera->output();
  SourceMatch last;
  for_each_source_frame(clean, 320, 240, [&](int i, const std::vector<uint8_t> &pic) {
    const double p = psnr(pic.data(), frames.back().nv12.data(), pic.size());
    if (p > last.psnr) last = {i, p};
    return true;
  });
  EXPECT_GE(last.psnr, 30.0) << "pictures after the damage do not decode";
  EXPECT_GT(last.index, 90) << "the stream did not go on past the damage";
  EXPECT_TRUE(damaged_camera->running());

  ASSERT_TRUE(wait_until([&] { return count_occurrences(garbage_camera->output(), "camera: attempt ") >= 1; },
                         30s, 20ms))
      << garbage_camera->output();
  EXPECT_EQ(count_occurrences(garbage_camera->output(), "camera: cannot open " + garbage + ": "), 1)
      << garbage_camera->output();
  EXPECT_TRUE(garbage_camera->running());
}

// A stream whose picture size changes mid-way keeps the stream's size: later pictures are
// scaled to it, and the change is logged.
TEST_F(CameraServerTest, PictureSizeChangeMidStreamKeepsTheStreamSize) {
  ASSERT_TRUE(ffmpeg("-f lavfi -i testsrc2=size=320x240:rate=30 -t 2 -c:v libx264 -preset ultrafast " +
                     world_.path("a.ts")));
  ASSERT_TRUE(
      ffmpeg("-f lavfi -i color=c=red:size=640x480:rate=30 -t 6 -c:v libx264 -preset ultrafast "
             "-output_ts_offset 2 " +
             world_.path("b.ts")));
  const std::string joined = world_.path("joined.ts");
  {
    std::ofstream out(joined, std::ios::binary);
    out << util::read_file(world_.path("a.ts")) << util::read_file(world_.path("b.ts"));
  }
  auto camera = start_camera({"--input", joined});
  StreamReader reader;
  ASSERT_TRUE(reader.connect(CONNECT_TIMEOUT_MS)) << camera->output();
  std::vector<ServedFrame> frames;
  ASSERT_TRUE(wait_until(
      [&] {
        for (auto &f : reader.receive(1, 1000)) frames.push_back(std::move(f));
        return frames.size() >= 40 && frames.back().nv12[0] < 100;  // red has a luma of 81
      },
      30s, 20ms))
      << camera->output();
  for (auto &f : frames) {
    ASSERT_EQ(f.width, 320);
    ASSERT_EQ(f.height, 240);
  }
  // Limited-range BT.601 red: Y 81, U 90, V 240.
  const ServedFrame &red = frames.back();
  double y = 0, u = 0, v = 0;
  for (int i = 0; i < 320 * 240; i++) y += red.nv12[i];
  for (int i = 0; i < 320 * 120; i += 2) {
    u += red.nv12[320 * 240 + i];
    v += red.nv12[320 * 240 + i + 1];
  }
  EXPECT_NEAR(y / (320 * 240), 81, 4);
  EXPECT_NEAR(u / (160 * 120), 90, 4);
  EXPECT_NEAR(v / (160 * 120), 240, 4);
  EXPECT_EQ(count_occurrences(camera->output(), "picture size changed from 320x240 to 640x480"), 1)
      << camera->output();
}

}  // namespace
