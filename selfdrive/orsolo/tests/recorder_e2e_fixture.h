#pragma once

// The recorder end to end: the log collector, the simulator and roadrecd as real processes on
// real queues, vision buffers, parameter files and encoder, each test in its own run directory
// (videos under it), judged by ffprobe.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
#include "selfdrive/orsolo/tests/process_harness.h"

namespace fs = std::filesystem;

constexpr const char *EDGE_LOG = "roadrecd: ignition on \xe2\x80\x94 new cycle";
constexpr const char *STARTED_LOG = "roadrecd: recording started, waiting for drive (10-min idle timer active)";
constexpr int STARTUP_TIMEOUT_MS = 60000;

inline std::string slurp(const std::string &path) {
  std::ifstream f(path);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}


class RecorderE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    prefix_ = "_rre2e_" + std::to_string(getpid()) + "_" + util::random_string(6);
    run_ = std::string(RUNS_DIR) + "/" + prefix_;
    fs::create_directories(run_);
    shm_ = "/dev/shm/" + prefix_;
    fs::create_directories(shm_);
    // Loop recording off unless a test turns it on: the build tree's file system may be short of
    // free space, and the tests' own segments must stay.
    env_ = {{"TAVRIN_PREFIX", prefix_},
            {"PARAMS_ROOT", run_ + "/params"},
            {"ROADRECD_VIDEOS_DIR", videos()},
            {"ROADRECD_MIN_FREE_PERCENT", "0"}};
    collector_ = std::make_unique<ChildProcess>(std::vector<std::string>{LOGCOLLECTOR}, env_, run_,
                                                run_ + "/collector.log");
    ASSERT_TRUE(wait_until([&] { return collector_->output().find("listening") != std::string::npos; }, 10000));
  }

  void TearDown() override {
    recorder_.reset();
    sim_.reset();
    collector_.reset();
    std::error_code ec;
    fs::remove_all(shm_, ec);
    // The simulator's vision setup socket and the collector's endpoint, left behind when stopped.
    fs::remove("/tmp/" + prefix_ + "_visionipc_imagerd", ec);
    fs::remove("/tmp/logmessage" + prefix_, ec);
    if (!HasFailure()) fs::remove_all(run_, ec);
  }

  // Each start writes its output to its own file: roadrecd.out, roadrecd.2.out, ...
  void start_recorder(const std::map<std::string, std::string> &extra_env = {},
                      const std::vector<std::string> &args = {}) {
    auto env = env_;
    for (auto &[k, v] : extra_env) env[k] = v;
    std::vector<std::string> argv = {ROADRECD};
    argv.insert(argv.end(), args.begin(), args.end());
    recorder_starts_++;
    const std::string out =
        run_ + (recorder_starts_ == 1 ? "/roadrecd.out" : "/roadrecd." + std::to_string(recorder_starts_) + ".out");
    recorder_ = std::make_unique<ChildProcess>(argv, env, run_, out);
  }
  // Writes "1" to DashcamShutdown as another process of the device would: a whole file renamed
  // into place. Returns the key's path.
  std::string request_shutdown() {
    const std::string key = run_ + "/params/" + prefix_ + "/DashcamShutdown";
    const std::string tmp = run_ + "/params/.tmp_value_test";
    std::ofstream(tmp) << "1";
    EXPECT_EQ(rename(tmp.c_str(), key.c_str()), 0) << key;
    return key;
  }
  // A small picture at 20 frames/s unless `args` say otherwise.
  std::unique_ptr<ChildProcess> start_simulator(const std::string &scenario, std::vector<std::string> args = {},
                                                const std::string &name = "sim") {
    const std::string scn = run_ + "/" + name + ".scn";
    std::ofstream(scn) << scenario;
    std::vector<std::string> argv = {SIMULATOR, "--scenario", scn, "--width", "320", "--height", "240"};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<ChildProcess>(argv, env_, run_, run_ + "/" + name + ".out");
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
  bool wait_logged(const std::string &msg, int timeout_ms = STARTUP_TIMEOUT_MS) {
    return wait_until([&] { return logged(msg); }, timeout_ms);
  }
  // Only the recorder's own lines.
  std::vector<std::string> recorder_logs() const {
    std::vector<std::string> out;
    for (auto &m : logs()) {
      if (m.rfind("roadrecd: ", 0) == 0) out.push_back(m);
    }
    return out;
  }

  std::vector<std::string> list(const std::string &dir, const std::string &suffix = "") const {
    std::vector<std::string> out;
    std::error_code ec;
    for (auto &e : fs::directory_iterator(dir, ec)) {
      std::string n = e.path().filename();
      if (suffix.empty() || util::ends_with(n, suffix)) out.push_back(n);
    }
    std::sort(out.begin(), out.end());
    return out;
  }
  std::string videos() const { return run_ + "/videos"; }
  // The directories in the videos directory.
  std::vector<std::string> trips() const {
    std::vector<std::string> out;
    for (auto &name : list(videos())) {
      if (fs::is_directory(videos() + "/" + name)) out.push_back(name);
    }
    return out;
  }

  // Frames ffprobe decodes in the MP4, or -1 when it cannot read it.
  static int mp4_frames(const std::string &path) {
    std::string out = run_command(std::string(FFPROBE) +
                                  " -v error -count_frames -select_streams v:0 -show_entries "
                                  "stream=codec_name,nb_read_frames -of csv=p=0 '" + path + "' 2>/dev/null");
    if (out.rfind("h264,", 0) != 0) return -1;
    return atoi(out.c_str() + 5);
  }
  // Video packets in the MP4, or -1 when ffprobe cannot read it. A rotated segment can start
  // between key frames, so its first frames need not decode on their own.
  static int mp4_packets(const std::string &path) {
    std::string out = run_command(std::string(FFPROBE) +
                                  " -v error -count_packets -select_streams v:0 -show_entries "
                                  "stream=codec_name,nb_read_packets -of csv=p=0 '" + path + "' 2>/dev/null");
    if (out.rfind("h264,", 0) != 0) return -1;
    return atoi(out.c_str() + 5);
  }
  // Seconds from the segment's start to its last frame, or -1 when ffprobe cannot read it.
  static double mp4_last_pts(const std::string &path) {
    std::string out = run_command(std::string(FFPROBE) +
                                  " -v error -select_streams v:0 -show_entries packet=pts_time -of csv=p=0 '" +
                                  path + "' 2>/dev/null | sort -g | tail -n 1");
    return out.empty() ? -1 : atof(out.c_str());
  }
  // The segment plays and every one of its frames decodes; returns its frames (0 on failure).
  static int expect_every_frame_decodes(const std::string &path) {
    const int packets = mp4_packets(path);
    EXPECT_GT(packets, 0) << path;
    EXPECT_EQ(mp4_frames(path), packets) << path;
    return std::max(packets, 0);
  }
  // Subtitle packets FFmpeg's SubRip reader finds, or -1.
  static int srt_packets(const std::string &path) {
    std::string out = run_command(std::string(FFPROBE) +
                                  " -v error -count_packets -show_entries stream=codec_name,nb_read_packets "
                                  "-of csv=p=0 '" + path + "' 2>/dev/null");
    if (out.rfind("subrip,", 0) != 0) return -1;
    return atoi(out.c_str() + 7);
  }
  // The number of entries written so far to a subtitle file.
  static int srt_entries(const std::string &path) {
    const std::string text = slurp(path);
    int n = 0;
    for (size_t pos = 0; (pos = text.find(" --> ", pos)) != std::string::npos; pos++) n++;
    return n;
  }
  // The same for the newest subtitle file of the newest trip.
  int newest_srt_entries() const {
    auto t = trips();
    if (t.empty()) return 0;
    auto s = list(videos() + "/" + t.back(), ".srt");
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
      EXPECT_TRUE(list(dir, ".lock").empty()) << dir;
      for (auto &mp4 : list(dir, ".mp4")) {
        total += expect_every_frame_decodes(dir + "/" + mp4);
        const std::string srt = dir + "/" + mp4.substr(0, mp4.size() - 4) + ".srt";
        EXPECT_TRUE(util::file_exists(srt)) << srt;
        EXPECT_GT(srt_packets(srt), 0) << srt;
      }
    }
    return total;
  }

  std::string prefix_, run_, shm_;
  int recorder_starts_ = 0;
  std::map<std::string, std::string> env_;
  std::unique_ptr<ChildProcess> collector_, sim_, recorder_;
};

