// The recorder end to end: the log collector, the simulator and roadrecd as real processes on
// real queues, vision buffers, parameter files and encoder, judged by ffprobe.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "common/util.h"
#include "selfdrive/orsolo/tests/process_harness.h"

namespace fs = std::filesystem;

namespace {

const char *const EDGE_LOG = "roadrecd: ignition on \xe2\x80\x94 new cycle";
const char *const STARTED_LOG = "roadrecd: recording started, waiting for drive (10-min idle timer active)";
constexpr int STARTUP_TIMEOUT_MS = 60000;

std::string slurp(const std::string &path) {
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
    env_ = {{"TAVRIN_PREFIX", prefix_}, {"PARAMS_ROOT", run_ + "/params"}};
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

  void start_recorder() {
    recorder_ = std::make_unique<ChildProcess>(std::vector<std::string>{ROADRECD}, env_, run_, run_ + "/roadrecd.out");
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
  std::vector<std::string> trips() const { return list(videos()); }

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
  // Subtitle packets FFmpeg's SubRip reader finds, or -1.
  static int srt_packets(const std::string &path) {
    std::string out = run_command(std::string(FFPROBE) +
                                  " -v error -count_packets -show_entries stream=codec_name,nb_read_packets "
                                  "-of csv=p=0 '" + path + "' 2>/dev/null");
    if (out.rfind("subrip,", 0) != 0) return -1;
    return atoi(out.c_str() + 7);
  }
  // The number of entries written so far to the newest subtitle file of the newest trip.
  int newest_srt_entries() const {
    auto t = trips();
    if (t.empty()) return 0;
    auto s = list(videos() + "/" + t.back(), ".srt");
    if (s.empty()) return 0;
    std::string text = slurp(videos() + "/" + t.back() + "/" + s.back());
    int n = 0;
    for (size_t pos = 0; (pos = text.find(" --> ", pos)) != std::string::npos; pos++) n++;
    return n;
  }

  // Every segment of every trip is complete: no lock file, an MP4 ffprobe reads, a subtitle
  // file beside it that FFmpeg reads. Returns the frames of all segments.
  int expect_finalised_trips() {
    int total = 0;
    for (auto &trip : trips()) {
      const std::string dir = videos() + "/" + trip;
      EXPECT_TRUE(list(dir, ".lock").empty()) << dir;
      for (auto &mp4 : list(dir, ".mp4")) {
        int frames = mp4_packets(dir + "/" + mp4);
        EXPECT_GT(frames, 0) << dir << "/" << mp4;
        total += std::max(frames, 0);
        const std::string srt = dir + "/" + mp4.substr(0, mp4.size() - 4) + ".srt";
        EXPECT_TRUE(util::file_exists(srt)) << srt;
        EXPECT_GT(srt_packets(srt), 0) << srt;
      }
    }
    return total;
  }

  std::string prefix_, run_, shm_;
  std::map<std::string, std::string> env_;
  std::unique_ptr<ChildProcess> collector_, sim_, recorder_;
};

}  // namespace

TEST_F(RecorderE2E, TripOpensAtStartAndSigtermFinalisesTheSegment) {
  start_recorder();
  sim_ = start_simulator("0 ignition off\n0 gear park\n");
  ASSERT_TRUE(wait_logged(STARTED_LOG)) << recorder_->output();
  ASSERT_EQ(trips().size(), 1u);
  const std::string dir = videos() + "/" + trips()[0];
  EXPECT_EQ(list(dir, ".lock").size(), 1u);
  ASSERT_TRUE(wait_until([&] { return newest_srt_entries() >= 3; }, 30000));

  const int status = recorder_->stop(SIGTERM);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  ASSERT_TRUE(wait_logged("roadrecd: stopped", 10000));
  // An exit request finalises quietly: no segment or trip closing lines.
  EXPECT_FALSE(logged("roadrecd: segment closed"));
  EXPECT_FALSE(logged("roadrecd: trip ended"));
  const std::vector<std::string> l = recorder_logs();
  ASSERT_GE(l.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(l.begin(), l.begin() + 5), (std::vector<std::string>{"roadrecd: waiting for system time", "roadrecd: system time valid",
                                               "roadrecd: started, connecting to imagerd road stream",
                                               "roadrecd: vipc connected, waiting for valid frame",
                                               "roadrecd: first valid frame 320x240 stride=320"}));
  EXPECT_GE(expect_finalised_trips(), 20);
  // The first segment of a trip starts with a key frame: every frame decodes.
  const std::string dir0 = videos() + "/" + trips()[0];
  const std::string mp4 = dir0 + "/" + list(dir0, ".mp4")[0];
  EXPECT_EQ(mp4_frames(mp4), mp4_packets(mp4));
}

TEST_F(RecorderE2E, IgnitionEdgeOpensNewTripDirectory) {
  start_recorder();
  sim_ = start_simulator("0 ignition off\n3 ignition on\n");
  ASSERT_TRUE(wait_logged(EDGE_LOG)) << recorder_->output();
  ASSERT_TRUE(wait_until([&] { return trips().size() == 2 && newest_srt_entries() >= 2; }, 30000));
  EXPECT_EQ(recorder_->stop(SIGTERM), 0);
  auto l = recorder_logs();
  auto edge = std::find(l.begin(), l.end(), EDGE_LOG);
  ASSERT_NE(edge, l.end());
  ASSERT_GE(l.end() - edge, 5);
  EXPECT_EQ(edge[1], "roadrecd: segment closed");
  EXPECT_EQ(edge[2], "roadrecd: trip ended");
  EXPECT_EQ(edge[3], "roadrecd: new trip videos/" + trips()[1]);
  expect_finalised_trips();
}

TEST_F(RecorderE2E, RotationPutsExactly1800FramesInASegment) {
  start_recorder();
  // Fed far faster than real time. A recorder that falls behind loses received frames, never
  // processed ones: the segment still gets exactly its 1800.
  sim_ = start_simulator("0 ignition off\n", {"--fps", "400"});
  ASSERT_TRUE(wait_logged(STARTED_LOG)) << recorder_->output();
  ASSERT_TRUE(wait_until([&] { return count_logged_prefix("roadrecd: opening segment ") >= 2; }, 180000));
  EXPECT_EQ(recorder_->stop(SIGTERM), 0);
  ASSERT_EQ(trips().size(), 1u);
  const std::string dir = videos() + "/" + trips()[0];
  auto segments = list(dir, ".mp4");
  ASSERT_EQ(segments.size(), 2u);
  EXPECT_EQ(mp4_packets(dir + "/" + segments[0]), 1800);
  EXPECT_EQ(mp4_frames(dir + "/" + segments[0]), 1800);
  EXPECT_GT(mp4_packets(dir + "/" + segments[1]), 0);
  expect_finalised_trips();
}

TEST_F(RecorderE2E, ShutdownKeyIsAcknowledgedAndTheProcessExits) {
  start_recorder();
  sim_ = start_simulator("0 ignition off\n");
  ASSERT_TRUE(wait_logged(STARTED_LOG)) << recorder_->output();
  ASSERT_TRUE(wait_until([&] { return newest_srt_entries() >= 2; }, 30000));
  // Written as another process of the device would: a whole file renamed into place.
  const std::string key_dir = run_ + "/params/" + prefix_;
  const std::string tmp = run_ + "/params/.tmp_value_test";
  std::ofstream(tmp) << "1";
  ASSERT_EQ(rename(tmp.c_str(), (key_dir + "/DashcamShutdown").c_str()), 0) << key_dir;

  const int status = recorder_->wait_exit(30000);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(slurp(key_dir + "/DashcamShutdown"), "0");
  ASSERT_TRUE(wait_logged("roadrecd: stopped", 10000));
  auto l = recorder_logs();
  ASSERT_GE(l.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(l.end() - 5, l.end()),
            (std::vector<std::string>{"roadrecd: shutdown requested, closing trip", "roadrecd: segment closed",
                                      "roadrecd: trip ended", "roadrecd: shutdown ack sent, exiting",
                                      "roadrecd: stopped"}));
  expect_finalised_trips();
}

TEST_F(RecorderE2E, SubtitlesHoldExactLinesForFixNoFixAndEveryHemisphere) {
  start_recorder();
  // Positions are published once a second, just after each whole second; each fix holds still
  // (the route between a fix and the same fix) over three publications.
  sim_ = start_simulator(
      "0 gps none\n"
      "2.5 gps 37.7749 -122.4194 15.6464\n"
      "5.5 gps 37.7749 -122.4194 15.6464\n"
      "5.6 gps -33.8688 151.2093 10.0\n"
      "8.5 gps -33.8688 151.2093 10.0\n"
      "8.6 gps none\n");
  ASSERT_TRUE(wait_logged(STARTED_LOG)) << recorder_->output();
  ASSERT_TRUE(wait_until([&] { return newest_srt_entries() >= 12; }, 60000));
  EXPECT_EQ(recorder_->stop(SIGTERM), 0);

  ASSERT_EQ(trips().size(), 1u);
  const std::string dir = videos() + "/" + trips()[0];
  auto srts = list(dir, ".srt");
  ASSERT_EQ(srts.size(), 1u);
  const std::string text = slurp(dir + "/" + srts[0]);

  // Entry by entry: index, span counted in whole seconds, one of the three third lines.
  const std::string utc = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC)";
  const std::regex entry_re(R"((\d+)\n(\d\d:\d\d:\d\d,000) --> (\d\d:\d\d:\d\d,000)\n([^\n]*)\n\n)");
  const std::regex nw("35 MPH \\| 37\\.7749\xc2\xb0N 122\\.4194\xc2\xb0W \\| " + utc);
  const std::regex se("22 MPH \\| 33\\.8688\xc2\xb0S 151\\.2093\xc2\xb0" "E \\| " + utc);
  const std::regex none("No GPS \\| " + utc);
  int n = 0, seen_nw = 0, seen_se = 0, seen_none = 0;
  size_t consumed = 0;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), entry_re); it != std::sregex_iterator(); ++it) {
    const std::smatch &m = *it;
    ASSERT_EQ((size_t)m.position(0), consumed) << "stray bytes before entry " << n + 1;
    consumed += m.length(0);
    n++;
    char span[64];
    snprintf(span, sizeof(span), "00:00:%02d,000|00:00:%02d,000", n - 1, n);
    EXPECT_EQ(m[1].str(), std::to_string(n));
    EXPECT_EQ(m[2].str() + "|" + m[3].str(), span);
    const std::string line = m[4];
    seen_nw += std::regex_match(line, nw);
    seen_se += std::regex_match(line, se);
    seen_none += std::regex_match(line, none);
    EXPECT_TRUE(std::regex_match(line, nw) || std::regex_match(line, se) || std::regex_match(line, none)) << line;
  }
  EXPECT_EQ(consumed, text.size());
  EXPECT_GE(n, 12);
  EXPECT_GT(seen_nw, 0);
  EXPECT_GT(seen_se, 0);
  EXPECT_GT(seen_none, 0);
  EXPECT_EQ(srt_packets(dir + "/" + srts[0]), n);
}

TEST_F(RecorderE2E, GarbageOnCarStateDoesNotStopTheRecording) {
  start_recorder();
  sim_ = start_simulator("0 gear drive\n3 garbage carState\n6 valid carState\n");
  ASSERT_TRUE(wait_logged("roadrecd: back in drive, resuming trip")) << recorder_->output();
  ASSERT_TRUE(wait_until([&] { return count_logged_prefix("roadrecd: invalid carState message, read as absent") > 0; },
                         30000));
  // Unreadable gear reads as not in drive; once readable again the trip resumes, same segment.
  ASSERT_TRUE(wait_until([&] { return count_logged_prefix("roadrecd: back in drive, resuming trip") >= 2; }, 30000));
  EXPECT_TRUE(recorder_->running());
  // Three seconds of garbage at 100 messages a second: logged about once a second, not per message.
  EXPECT_LE(count_logged_prefix("roadrecd: invalid carState message"), 6);
  EXPECT_EQ(recorder_->stop(SIGTERM), 0);
  EXPECT_EQ(trips().size(), 1u);
  expect_finalised_trips();
}

TEST_F(RecorderE2E, RestartedSimulatorLeavesTheRecorderRunning) {
  start_recorder();
  sim_ = start_simulator("0 ignition off\n");
  ASSERT_TRUE(wait_logged(STARTED_LOG)) << recorder_->output();
  ASSERT_TRUE(wait_until([&] { return newest_srt_entries() >= 2; }, 30000));
  EXPECT_EQ(sim_->stop(SIGTERM), 0);
  sim_ = start_simulator("0 ignition off\n", {}, "sim2");
  ASSERT_TRUE(wait_until([&] { return sim_->output().find("Starting listener") != std::string::npos; }, 30000));
  // Frames of the new server flow for a while; the recorder must live through them.
  wait_until([&] { return !recorder_->running(); }, 2000);
  ASSERT_TRUE(recorder_->running()) << recorder_->output();
  EXPECT_EQ(recorder_->stop(SIGTERM), 0);
  ASSERT_TRUE(wait_logged("roadrecd: stopped", 10000));
  expect_finalised_trips();
}
