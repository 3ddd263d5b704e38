// The camera server on a real V4L2 camera of this machine; skipped, and said so, when the
// machine has none.

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "pc/tests/pc_test_support.h"
#include "pc/tests/stream_reader.h"

using namespace pc_test;

namespace {

// The first /dev/video* node that captures video (cameras also have metadata nodes).
std::string find_capture_device() {
  std::vector<std::string> nodes;
  std::error_code ec;
  for (auto &e : fs::directory_iterator("/dev", ec)) {
    if (e.path().filename().string().rfind("video", 0) == 0) nodes.push_back(e.path());
  }
  std::sort(nodes.begin(), nodes.end());
  for (auto &node : nodes) {
    const int fd = open(node.c_str(), O_RDWR | O_NONBLOCK);
    if (fd < 0) continue;
    v4l2_capability cap = {};
    const bool capture = ioctl(fd, VIDIOC_QUERYCAP, &cap) == 0 &&
                         ((cap.capabilities & V4L2_CAP_DEVICE_CAPS ? cap.device_caps : cap.capabilities) &
                          V4L2_CAP_VIDEO_CAPTURE);
    close(fd);
    if (capture) return node;
  }
  return "";
}

TEST(V4l2CameraTest, ServesTheMachinesCameraAtTheRecorderRate) {
  const std::string device = find_capture_device();
  if (device.empty()) GTEST_SKIP() << "no /dev/video* capture device on this machine";

  PcWorld world(RUNS_DIR);
  auto camera = world.start("camera", {CAMERA_SERVER, "--input", device});
  StreamReader reader;
  ASSERT_TRUE(reader.connect(30000)) << camera->output();
  const auto frames = reader.receive(41, 20000);
  ASSERT_EQ(frames.size(), 41u) << camera->output();
  std::vector<int64_t> gaps;
  for (size_t k = 1; k < frames.size(); k++) {
    EXPECT_EQ(frames[k].width, frames[0].width);
    EXPECT_EQ(frames[k].extra.frame_id, frames[k - 1].extra.frame_id + 1);
    gaps.push_back((int64_t)(frames[k].extra.timestamp_eof - frames[k - 1].extra.timestamp_eof));
  }
  std::sort(gaps.begin(), gaps.end());
  EXPECT_NEAR(gaps[gaps.size() / 2], 50000000, 5000000);
  EXPECT_GT(frames[0].width, 0);
  if (HasFailure()) world.keep();
}

}  // namespace
