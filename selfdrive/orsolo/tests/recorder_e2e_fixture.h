#pragma once

// The recorder end to end: the log collector, the simulator and roadrecd as real processes on
// real queues, vision buffers, parameter files and encoder, each test in its own run directory
// (videos under it), judged by ffprobe.

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "common/util.h"
#include "tests/support/child_process.h"
#include "tests/support/ffprobe.h"
#include "tests/support/files.h"
#include "tests/support/test_world.h"
#include "tests/support/wait.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char *EDGE_LOG = "roadrecd: ignition on \xe2\x80\x94 new cycle";
constexpr const char *STARTED_LOG = "roadrecd: recording started, waiting for drive (10-min idle timer active)";
constexpr std::chrono::milliseconds STARTUP_TIMEOUT = 60s;
// How often a wait looks at the programs' files: often enough, without taking the machine from them.
constexpr std::chrono::milliseconds LOOK_EVERY = 20ms;

class RecorderE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    // Loop recording off unless a test turns it on: the build tree's file system may be short of
    // free space, and the tests' own segments must stay.
    world_.env()["ROADRECD_VIDEOS_DIR"] = videos();
    world_.env()["ROADRECD_MIN_FREE_PERCENT"] = "0";
    collector_ = world_.start("collector", {LOGCOLLECTOR});
    ASSERT_TRUE(wait_until([&] { return collector_->output().find("listening") != std::string::npos; }, 10s,
                           LOOK_EVERY));
  }

  void TearDown() override {
    recorder_.reset();
    sim_.reset();
    collector_.reset();
    // The run directory stays for a failed test's logs; the queues and sockets always go.
    if (HasFailure()) world_.keep();
  }

  // Each start writes its output to its own file: roadrecd.out, roadrecd.2.out, ...
  void start_recorder(const EnvVars &extra_env = {}, const std::vector<std::string> &args = {}) {
    std::vector<std::string> argv = {ROADRECD};
    argv.insert(argv.end(), args.begin(), args.end());
    recorder_starts_++;
    const std::string name =
        recorder_starts_ == 1 ? "roadrecd" : "roadrecd." + std::to_string(recorder_starts_);
    recorder_ = world_.start(name, argv, extra_env);
  }
  // Writes "1" to DashcamShutdown as another process of the device would: a whole file renamed
  // into place. Returns the key's path.
  std::string request_shutdown() {
    const std::string key = world_.path("params/" + world_.prefix() + "/DashcamShutdown");
    const std::string tmp = world_.path("params/.tmp_value_test");
    std::ofstream(tmp) << "1";
    EXPECT_EQ(rename(tmp.c_str(), key.c_str()), 0) << key;
    return key;
  }
  // A small picture at 20 frames/s unless `args` say otherwise.
  std::unique_ptr<ChildProcess> start_simulator(const std::string &scenario, std::vector<std::string> args = {},
                                                const std::string &name = "sim") {
    const std::string scn = world_.path(name + ".scn");
    std::ofstream(scn) << scenario;
    std::vector<std::string> argv = {SIMULATOR, "--scenario", scn, "--width", "320", "--height", "240"};
    argv.insert(argv.end(), args.begin(), args.end());
    return world_.start(name, argv);
  }

  // The messages the collector received, in order.
  std::vector<std::string> logs() const {
    std::vector<std::string> out;
    std::istringstream in(collector_->output());
    for (std::string line; std::getline(in, line);) {
      auto sp = line.find(' ');
      if (sp == std::string::npos) continue;
      auto j = nlohmann::json::parse(line.substr(sp + 1), nullptr, false);
      if (!j.is_discarded() && j.contains("msg") && j["msg"].is_string()) out.push_back(j["msg"]);
    }
    return out;
  }
  bool logged(const std::string &msg) const {
    auto l = logs();
    return std::find(l.begin(), l.end(), msg) != l.end();
  }
  int count_logged_prefix(const std::string &prefix) const {
    int n = 0;
    for (auto &m : logs()) n += m.rfind(prefix, 0) == 0;
    return n;
  }
  bool wait_logged(const std::string &msg, std::chrono::milliseconds timeout = STARTUP_TIMEOUT) {
    return wait_until([&] { return logged(msg); }, timeout, LOOK_EVERY);
  }
  // Only the recorder's own lines.
  std::vector<std::string> recorder_logs() const {
    std::vector<std::string> out;
    for (auto &m : logs()) {
      if (m.rfind("roadrecd: ", 0) == 0) out.push_back(m);
    }
    return out;
  }

  std::string videos() const { return world_.path("videos"); }
  // The directories in the videos directory.
  std::vector<std::string> trips() const {
    std::vector<std::string> out;
    for (auto &name : list_dir(videos())) {
      if (fs::is_directory(videos() + "/" + name)) out.push_back(name);
    }
    return out;
  }

  // Frames ffprobe decodes in the MP4, or -1 when it cannot read it.
  static int mp4_frames(const std::string &path) { return decoded_frames(path, "h264"); }
  // Video packets in the MP4, or -1 when ffprobe cannot read it. A rotated segment can start
  // between key frames, so its first frames need not decode on their own.
  static int mp4_packets(const std::string &path) { return read_packets(path, "h264"); }
  // Seconds from the segment's start to its last frame, or -1 when ffprobe cannot read it.
  static double mp4_last_pts(const std::string &path) { return last_packet_time(path); }
  // The segment plays and every one of its frames decodes; returns its frames (0 on failure).
  static int expect_every_frame_decodes(const std::string &path) {
    const int packets = mp4_packets(path);
    EXPECT_GT(packets, 0) << path;
    EXPECT_EQ(mp4_frames(path), packets) << path;
    return std::max(packets, 0);
  }
  // Subtitle packets FFmpeg's SubRip reader finds, or -1.
  static int srt_packets(const std::string &path) { return read_packets(path, "subrip", "s:0"); }
  // The number of entries written so far to a subtitle file.
  static int srt_entries(const std::string &path) {
    return count_occurrences(util::read_file(path), " --> ");
  }
  // The same for the newest subtitle file of the newest trip.
  int newest_srt_entries() const {
    auto t = trips();
    if (t.empty()) return 0;
    auto s = list_dir(videos() + "/" + t.back(), ".srt");
    if (s.empty()) return 0;
    return srt_entries(videos() + "/" + t.back() + "/" + s.back());
  }

  // Every segment of every trip is complete: no lock file, an MP4 ffprobe reads whose every
  // frame decodes (each segment starts with a sync frame), a subtitle file beside it that
  // FFmpeg reads. Returns the frames of all segments.
  int expect_finalised_trips() {
    int total = 0;
    for (auto &trip : trips()) {
      const std::string dir = videos() + "/" + trip;
      EXPECT_TRUE(list_dir(dir, ".lock").empty()) << dir;
      for (auto &mp4 : list_dir(dir, ".mp4")) {
        total += expect_every_frame_decodes(dir + "/" + mp4);
        const std::string srt = dir + "/" + mp4.substr(0, mp4.size() - 4) + ".srt";
        EXPECT_TRUE(util::file_exists(srt)) << srt;
        EXPECT_GT(srt_packets(srt), 0) << srt;
      }
    }
    return total;
  }

  TestWorld world_{RUNS_DIR, "_rre2e"};  // declared first: outlives the programs of the world
  int recorder_starts_ = 0;
  std::unique_ptr<ChildProcess> collector_, sim_, recorder_;
};

