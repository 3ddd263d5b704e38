// The dashcam command end to end, as a user runs it: a file camera, gpsd fed by gpsfake, the
// car-state publisher, the recorder and the trip viewer, stopped with Ctrl-C; the viewer shows
// the trip while it is recorded, the trip's subtitles carry the replayed positions and speeds,
// and its video shows the camera's pictures.

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>

#include <cmath>
#include <fstream>
#include <regex>

#include <gtest/gtest.h>

#include "pc/tests/nmea_log.h"
#include "pc/tests/pc_test_support.h"
#include "tools/tripviewer/tests/viewer_harness.h"

using namespace pc_test;

namespace {

// Processes whose program lies in `dir`: "<pid> <program>".
std::vector<std::string> programs_running_from(const std::string &dir) {
  std::vector<std::string> found;
  std::error_code ec;
  for (auto &e : fs::directory_iterator("/proc", ec)) {
    const std::string pid = e.path().filename();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string cmdline = util::read_file(e.path().string() + "/cmdline");
    if (cmdline.rfind(dir, 0) == 0) found.push_back(pid + " " + cmdline.c_str());
  }
  return found;
}

// Kills, at the end of the test whatever its outcome, every program left running from `dir`.
struct ProgramReaper {
  std::string dir;
  ~ProgramReaper() {
    for (auto &p : programs_running_from(dir)) kill(atoi(p.c_str()), SIGKILL);
  }
};

// The command runs its programs through stdbuf, whose preloaded library a sanitizer build
// would refuse to start behind.
std::string sanitizer_options() {
  const char *options = getenv("ASAN_OPTIONS");
  return std::string(options ? options : "") + ":verify_asan_link_order=0";
}

std::vector<std::string> files(const std::string &dir, const std::string &suffix) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto &e : fs::recursive_directory_iterator(dir, ec)) {
    if (util::ends_with(e.path().string(), suffix)) out.push_back(e.path());
  }
  std::sort(out.begin(), out.end());
  return out;
}

// A car heading north-west from San Francisco at 20 knots (23 MPH), one fix a second.
constexpr int FIXES = 6;
double fix_lat(int i) {
  return 37.7749 + 0.0002 * i;
}
double fix_lon(int i) {
  return -122.4194 - 0.0002 * i;
}

std::string drive_log() {
  std::string log;
  for (int i = 0; i < FIXES; i++) log += nmea_epoch(i, {true, fix_lat(i), fix_lon(i), 20.0, 315.0, 15.0});
  return log;
}

TEST(DashcamCommandTest, RecordsATripFromAFileCameraAndGpsdAndStopsCleanlyOnCtrlC) {
  PcWorld world(RUNS_DIR);
  const std::string camera_file = world.path("road.mp4");
  ASSERT_TRUE(ffmpeg("-f lavfi -i testsrc2=size=640x480:rate=30 -t 10 -c:v libx264 -preset ultrafast -g 30 " +
                     camera_file));
  std::ofstream(world.path("drive.nmea"), std::ios::binary) << drive_log();
  const int port = free_tcp_port();
  GroupChild gpsfake(world, "gpsfake",
                     {"gpsfake", "-q", "-c", "0.5", "-P", std::to_string(port), world.path("drive.nmea")});

  // The programs side by side, as installed.
  const std::string bin = world.path("bin");
  fs::create_directories(bin);
  ProgramReaper reaper{bin};
  for (auto &[name, target] : std::map<std::string, std::string>{{"roadrec-camera", CAMERA_SERVER},
                                                                 {"roadrec-gps", GPS_PUBLISHER},
                                                                 {"roadrec-carstate", CARSTATE_PUBLISHER},
                                                                 {"roadrecd", RECORDER},
                                                                 {"tripviewer", TRIPVIEWER},
                                                                 {"roadrec-dashcam", DASHCAM}}) {
    fs::create_symlink(target, bin + "/" + name);
  }
  const std::string videos = world.path("videos");
  auto dashcam = world.start(
      "dashcam",
      {bin + "/roadrec-dashcam", "--camera", camera_file, "--loop", "--gps",
       "127.0.0.1:" + std::to_string(port), "--videos", videos, "--params", world.path("params"),
       "--drive-after", "1", "--park-after", "5", "--viewer-port", "0"},
      // Loop recording off: the build tree's file system may be short of
      // free space, and the trip under test must stay whole.
      {{"LOGPRINT", "warning"}, {"ROADRECD_MIN_FREE_PERCENT", "0"}, {"ASAN_OPTIONS", sanitizer_options()}});

  // Recording until the subtitles have carried a few seconds of fixes.
  auto subtitles = [&] {
    std::string all;
    for (auto &srt : files(videos, ".srt")) all += util::read_file(srt);
    return all;
  };
  const bool recorded = wait_until(
      [&] { return count_occurrences(subtitles(), " MPH | ") >= 2 * FIXES || !dashcam->running(); }, 90s, 20ms);
  ASSERT_TRUE(recorded) << dashcam->output();
  ASSERT_TRUE(dashcam->running()) << dashcam->output();
  // The recorder's lines come through while it runs, not only when it ends.
  EXPECT_NE(dashcam->output().find("recorder: "), std::string::npos) << dashcam->output();
  // The trip viewer serves the trip being recorded.
  std::smatch serving;
  const std::string started = dashcam->output();
  ASSERT_TRUE(std::regex_search(
      started, serving, std::regex("\nviewer: tripviewer: serving .* at http://127\\.0\\.0\\.1:(\\d+)/")))
      << started;
  const HttpResponse trips = http_request(std::stoi(serving[1]), "/api/trips");
  EXPECT_EQ(trips.status, 200);
  EXPECT_NE(trips.body.find("\"recording\":true"), std::string::npos) << trips.body;

  const int status = dashcam->stop(SIGINT, 60000);
  ASSERT_TRUE(WIFEXITED(status)) << dashcam->output();
  EXPECT_EQ(WEXITSTATUS(status), 0) << dashcam->output();
  EXPECT_TRUE(programs_running_from(bin).empty()) << programs_running_from(bin)[0];
  const std::string out = dashcam->output();
  // Each program's lines, marked with its name, as they were printed.
  for (const char *name : {"camera: ", "gps: ", "carstate: ", "recorder: ", "viewer: "}) {
    EXPECT_NE(out.find(std::string("\n") + name), std::string::npos) << name << "\n" << out;
  }
  EXPECT_NE(out.find("carstate: gear DRIVE"), std::string::npos) << out;

  // Every replayed fix is in the subtitles, in the recorder's words.
  const std::string srt = subtitles();
  for (int i = 0; i < FIXES; i++) {
    char line[96];
    snprintf(line, sizeof(line), "23 MPH | %.4f\xc2\xb0N %.4f\xc2\xb0W | ", fix_lat(i), -fix_lon(i));
    EXPECT_NE(srt.find(line), std::string::npos) << line << "\n" << srt;
  }
  // Every segment is closed, and its pictures are the camera's.
  EXPECT_TRUE(files(videos, ".lock").empty());
  const auto segments = files(videos, ".mp4");
  ASSERT_FALSE(segments.empty());
  const std::string longest = *std::max_element(
      segments.begin(), segments.end(), [](auto &a, auto &b) { return fs::file_size(a) < fs::file_size(b); });
  std::vector<uint8_t> recorded_picture;
  for_each_source_frame(longest, 640, 480, [&](int i, const std::vector<uint8_t> &pic) {
    recorded_picture = pic;
    return i < 20;  // two seconds in
  });
  ASSERT_FALSE(recorded_picture.empty()) << longest;
  double best = 0;
  for_each_source_frame(camera_file, 640, 480, [&](int, const std::vector<uint8_t> &pic) {
    best = std::max(best, psnr(pic.data(), recorded_picture.data(), pic.size()));
    return true;
  });
  EXPECT_GE(best, 30.0) << "the recorded video does not show the camera's pictures";
  if (HasFailure()) world.keep();
}

}  // namespace
