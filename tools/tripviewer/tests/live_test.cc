// The viewer while things happen around it: the recorder writing the tree it serves, a recorder
// that dies mid-segment, trips that come and go, clients that hold connections without asking
// anything.

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "common/util.h"
#include "tests/support/ffprobe.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_prefix.h"
#include "tools/tripviewer/tests/viewer_harness.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr std::chrono::seconds WAIT(60);
// Each look asks the viewer or reads files: a pause between looks leaves the machine to them.
constexpr std::chrono::milliseconds LOOK_PAUSE(20);

json get_json(const ViewerProcess &v, const std::string &target) {
  const HttpResponse r = v.get(target);
  return r.status == 200 ? json::parse(r.body, nullptr, false) : json();
}

int entries_on_disk(const std::string &srt) { return count_occurrences(util::read_file(srt), " --> "); }

// "recording", "interrupted" or "finished", as the viewer's JSON gives a trip or a segment.
std::string state(const json &j) {
  if (!j.is_object()) return "no answer";
  if (j["recording"].get<bool>()) return j["interrupted"].get<bool>() ? "recording and interrupted" : "recording";
  return j["interrupted"].get<bool>() ? "interrupted" : "finished";
}

size_t open_descriptors(pid_t pid) {
  size_t n = 0;
  std::error_code ec;
  for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
       !ec && it != fs::directory_iterator(); it.increment(ec)) {
    n++;
  }
  return n;
}

class ViewerBesideRecorder : public ::testing::Test {
 protected:
  void SetUp() override {
    env_ = {{"TAVRIN_PREFIX", prefix_.name()},
            {"PARAMS_ROOT", dir_ / "params"},
            {"ROADRECD_VIDEOS_DIR", videos()},
            {"ROADRECD_MIN_FREE_PERCENT", "0"}};
  }
  void TearDown() override {
    recorder_.reset();
    sim_.reset();
    viewer_.reset();
  }
  // The simulator, on the scenario these tests record: ignition off, a fix at 10 m/s.
  void start_simulator() {
    std::ofstream(dir_ / "sim.scn") << "0 ignition off\n0 gps 37.7749 -122.4194 10\n";
    sim_ = std::make_unique<ChildProcess>(std::vector<std::string>{SIMULATOR, "--scenario", dir_ / "sim.scn",
                                                                   "--width", "320", "--height", "240"},
                                          env_, dir_.path(), dir_ / "sim.out");
  }
  void start_recorder(const std::string &name) {
    recorder_ =
        std::make_unique<ChildProcess>(std::vector<std::string>{ROADRECD}, env_, dir_.path(), dir_ / name);
  }
  std::string videos() const { return dir_ / "videos"; }

  TestDir dir_;
  TestPrefix prefix_{"_tvlive"};
  EnvVars env_;
  std::unique_ptr<ViewerProcess> viewer_;
  std::unique_ptr<ChildProcess> sim_, recorder_;
};

}  // namespace

TEST_F(ViewerBesideRecorder, ServesTheTreeWhileTheRecorderWritesIt) {
  // The viewer starts first: the videos directory is not there yet.
  viewer_ = std::make_unique<ViewerProcess>(videos(), dir_ / "viewer.out");
  ASSERT_GT(viewer_->port(), 0) << viewer_->process().output();
  EXPECT_FALSE(get_json(*viewer_, "/api/trips")["readable"].get<bool>());
  EXPECT_NE(viewer_->get("/").body.find("id=\"unreadable\""), std::string::npos);

  start_simulator();
  start_recorder("roadrecd1.out");

  // A segment being written is listed as such, and its files are not offered.
  json trip;
  ASSERT_TRUE(wait_until(
      [&] {
        const json j = get_json(*viewer_, "/api/trips");
        if (!j.is_object() || j["trips"].size() != 1) return false;
        trip = j["trips"][0];
        return trip["recording"].get<bool>() && trip["seconds"].get<double>() >= 2;
      },
      WAIT, LOOK_PAUSE))
      << recorder_->output();
  const std::string name = trip["name"];
  const json detail = get_json(*viewer_, "/api/trips/" + name);
  ASSERT_EQ(detail["segments"].size(), 1u);
  const json seg = detail["segments"][0];
  EXPECT_TRUE(seg["recording"].get<bool>());
  EXPECT_TRUE(seg["video"].is_null());
  EXPECT_TRUE(seg["subtitles"].is_null());
  const std::string base = "/trips/" + name + "/" + seg["name"].get<std::string>();
  for (const char *ext : {".mp4", ".srt", ".vtt"}) {
    const HttpResponse r = viewer_->get(base + ext);
    EXPECT_EQ(r.status, 409) << ext;
    EXPECT_NE(r.body.find("is being recorded"), std::string::npos) << ext;
  }
  EXPECT_NE(viewer_->get("/").body.find("● recording"), std::string::npos);
  EXPECT_NE(viewer_->get("/trips/" + name).body.find("not available until the segment is closed"),
            std::string::npos);

  // The subtitles go on growing past what the viewer read while they were being written ...
  const std::string srt = videos() + "/" + name + "/" + seg["name"].get<std::string>() + ".srt";
  const double seen = trip["seconds"];
  ASSERT_TRUE(wait_until([&] { return entries_on_disk(srt) >= seen + 2; }, WAIT, LOOK_PAUSE));
  ASSERT_EQ(recorder_->stop(SIGTERM), 0);

  // ... and once the segment is closed the viewer shows all of it, and offers its files.
  const json done = get_json(*viewer_, "/api/trips")["trips"][0];
  EXPECT_FALSE(done["recording"].get<bool>());
  EXPECT_DOUBLE_EQ(done["seconds"].get<double>(), (double)entries_on_disk(srt));
  const HttpResponse video = viewer_->get(base + ".mp4");
  ASSERT_EQ(video.status, 200);
  const std::string mp4 = videos() + "/" + name + "/" + seg["name"].get<std::string>() + ".mp4";
  EXPECT_TRUE(video.body == util::read_file(mp4));
  std::ofstream(dir_ / "served.mp4", std::ios::binary) << video.body;
  EXPECT_GT(read_packets(dir_ / "served.mp4", "h264"), 10);  // -1: not an H.264 stream

  // A new trip comes on top of the list while served; a trip removed is gone.
  start_recorder("roadrecd2.out");
  ASSERT_TRUE(wait_until(
      [&] {
        const json j = get_json(*viewer_, "/api/trips");
        // With a frame in it: a trip stopped before its first frame leaves nothing behind.
        return j.is_object() && j["trips"].size() == 2 && j["trips"][0]["recording"].get<bool>() &&
               j["trips"][0]["seconds"].get<double>() >= 1 && j["trips"][1]["name"] == name;
      },
      WAIT, LOOK_PAUSE))
      << recorder_->output();
  ASSERT_EQ(recorder_->stop(SIGTERM), 0);
  fs::remove_all(videos() + "/" + name);
  EXPECT_EQ(viewer_->get("/trips/" + name).status, 404);
  EXPECT_EQ(viewer_->get(base + ".mp4").status, 404);
  const json after = get_json(*viewer_, "/api/trips");
  ASSERT_EQ(after["trips"].size(), 1u);
  EXPECT_NE(after["trips"][0]["name"], name);
  EXPECT_EQ(viewer_->process().stop(SIGTERM, 10000), 0);
}

// A recorder killed mid-segment leaves the segment's lock file, no longer held: the viewer shows
// the segment as interrupted (not as being recorded) until the recorder's next start recovers it,
// and then offers it like any other.
TEST_F(ViewerBesideRecorder, SegmentOfAKilledRecorderIsInterruptedUntilTheNextStartRecoversIt) {
  viewer_ = std::make_unique<ViewerProcess>(videos(), dir_ / "viewer.out");
  ASSERT_GT(viewer_->port(), 0) << viewer_->process().output();
  start_simulator();
  start_recorder("roadrecd1.out");
  json trip;
  ASSERT_TRUE(wait_until(
      [&] {
        const json j = get_json(*viewer_, "/api/trips");
        if (!j.is_object() || j["trips"].size() != 1) return false;
        trip = j["trips"][0];
        return state(trip) == "recording" && trip["seconds"].get<double>() >= 3;
      },
      WAIT, LOOK_PAUSE))
      << recorder_->output();
  ASSERT_TRUE(WIFSIGNALED(recorder_->stop(SIGKILL)));

  const std::string name = trip["name"];
  const json left = get_json(*viewer_, "/api/trips/" + name);
  EXPECT_EQ(state(left), "interrupted");
  ASSERT_EQ(left["segments"].size(), 1u);
  const json seg = left["segments"][0];
  EXPECT_EQ(state(seg), "interrupted");
  EXPECT_TRUE(seg["video"].is_null());
  const std::string base = "/trips/" + name + "/" + seg["name"].get<std::string>();
  const HttpResponse refused = viewer_->get(base + ".mp4");
  EXPECT_EQ(refused.status, 409);
  EXPECT_NE(refused.body.find("was interrupted: the recorder writing it stopped"), std::string::npos) << refused.body;
  EXPECT_NE(viewer_->get("/trips/" + name).body.find("class=\"badge interrupted\""), std::string::npos);
  EXPECT_EQ(viewer_->get("/").body.find("● recording"), std::string::npos);

  // The next start recovers the segment before it records a trip of its own.
  start_recorder("roadrecd2.out");
  ASSERT_TRUE(wait_until(
      [&] {
        const json j = get_json(*viewer_, "/api/trips");
        return j.is_object() && j["trips"].size() == 2 && j["trips"][1]["name"] == name &&
               state(j["trips"][1]) == "finished";
      },
      WAIT, LOOK_PAUSE))
      << recorder_->output();
  EXPECT_NE(recorder_->output().find("recovered segment " + name + "/"), std::string::npos)
      << recorder_->output();
  const HttpResponse video = viewer_->get(base + ".mp4");
  ASSERT_EQ(video.status, 200);
  std::ofstream(dir_ / "recovered.mp4", std::ios::binary) << video.body;
  EXPECT_GT(read_packets(dir_ / "recovered.mp4"), 10);
  ASSERT_EQ(recorder_->stop(SIGTERM), 0);
  EXPECT_EQ(viewer_->process().stop(SIGTERM, 10000), 0);
}

// A copy of the recorded tree's route trip whose two segments have lock files: the first held
// as a live recorder holds it, the second left by one that stopped.
class ViewerLocks : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::vector<std::string> trips = list_dir(TRIP_TREE);
    ASSERT_FALSE(trips.empty()) << "the recorded tree is missing: " << TRIP_TREE;
    trip_ = trips[0];  // the older one, with two segments
    fs::create_directories(dir_ / "videos");
    fs::copy(std::string(TRIP_TREE) + "/" + trip_, dir_ / ("videos/" + trip_), fs::copy_options::recursive);
    for (auto &e : fs::directory_iterator(dir_ / ("videos/" + trip_))) {
      if (e.path().extension() == ".mp4") segments_.push_back(e.path().stem());
    }
    std::sort(segments_.begin(), segments_.end());
    ASSERT_EQ(segments_.size(), 2u);
    held_ = open(lock_path(0).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_EQ(flock(held_, LOCK_EX | LOCK_NB), 0);
    left_ = open(lock_path(1).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(left_, 0);
    viewer_ = std::make_unique<ViewerProcess>(dir_ / "videos", dir_ / "viewer.out");
    ASSERT_GT(viewer_->port(), 0) << viewer_->process().output();
  }
  void TearDown() override {
    if (held_ >= 0) close(held_);
    if (left_ >= 0) close(left_);
    if (viewer_) {
      EXPECT_EQ(viewer_->process().stop(SIGTERM, 10000), 0);
    }
  }
  std::string lock_path(size_t i) const {
    return dir_ / ("videos/" + trip_ + "/" + segments_[i] + ".mp4.lock");
  }
  std::string file_url(size_t i, const char *ext) const {
    return "/trips/" + trip_ + "/" + segments_[i] + ext;
  }
  json segment(size_t i) const { return get_json(*viewer_, "/api/trips/" + trip_)["segments"][i]; }

  TestDir dir_;
  std::string trip_;
  std::vector<std::string> segments_;
  int held_ = -1, left_ = -1;
  std::unique_ptr<ViewerProcess> viewer_;
};

TEST_F(ViewerLocks, HeldLockIsBeingRecordedAndALockNobodyHoldsWasInterrupted) {
  EXPECT_EQ(state(segment(0)), "recording");
  EXPECT_EQ(state(segment(1)), "interrupted");
  EXPECT_EQ(state(get_json(*viewer_, "/api/trips")["trips"][0]), "recording and interrupted");
  const struct {
    size_t segment;
    const char *ext;
    const char *says;
  } refused[] = {
      {0, ".mp4", "is being recorded"},
      {0, ".vtt", "is being recorded"},
      {1, ".mp4", "was interrupted: the recorder writing it stopped"},
      {1, ".srt", "was interrupted: the recorder writing it stopped"},
      {1, ".vtt", "was interrupted: the recorder writing it stopped"},
  };
  for (const auto &r : refused) {
    const HttpResponse answer = viewer_->get(file_url(r.segment, r.ext));
    EXPECT_EQ(answer.status, 409) << r.segment << r.ext;
    EXPECT_NE(answer.body.find(r.says), std::string::npos) << r.segment << r.ext << ": " << answer.body;
  }
  const std::string page = viewer_->get("/trips/" + trip_).body;
  EXPECT_NE(page.find("not available until the segment is closed"), std::string::npos);
  EXPECT_NE(page.find("not available until the recorder's next start recovers it"), std::string::npos);
  EXPECT_NE(page.find("No finished segment to play yet"), std::string::npos);

  // The writer goes away without closing: interrupted too. The lock file gone: finished.
  close(held_);
  held_ = -1;
  EXPECT_EQ(state(segment(0)), "interrupted");
  ASSERT_EQ(unlink(lock_path(1).c_str()), 0);
  EXPECT_EQ(state(segment(1)), "finished");
  EXPECT_EQ(viewer_->get(file_url(1, ".mp4")).status, 200);
}

// However often the viewer looks at a lock file, a recorder that opens a segment or a start-up
// recovery that tries the lock without waiting always gets it: the viewer never holds it, not
// even for a moment.
TEST_F(ViewerLocks, LookingNeverGetsInTheWayOfTheRecordersLock) {
  std::atomic<bool> looking{true};
  std::atomic<int> answered{0};
  std::thread viewer_client([&] {
    for (int i = 0; i < 400; i++) answered += viewer_->get("/api/trips/" + trip_).status == 200;
    looking = false;
  });
  int tries = 0, refused = 0;
  while (looking) {
    if (flock(left_, LOCK_EX | LOCK_NB) == 0) {
      flock(left_, LOCK_UN);
    } else {
      refused++;
    }
    tries++;
  }
  viewer_client.join();
  EXPECT_EQ(answered, 400);
  EXPECT_GT(tries, 0);
  EXPECT_EQ(refused, 0) << "of " << tries << " tries while the viewer answered " << answered << " times";
}

// Connections that never send a request wait in the kernel beyond what the viewer serves at once;
// it never holds more of them than its bound, and serves again once they are gone.
TEST(ViewerLimits, IdleConnectionsStayWithinTheBound) {
  TestDir dir;
  fs::create_directories(dir / "videos");
  constexpr int MAX_CONNECTIONS = 2;
  ViewerProcess viewer(dir / "videos", dir / "viewer.out",
                       {"--max-connections", std::to_string(MAX_CONNECTIONS)});
  ASSERT_GT(viewer.port(), 0) << viewer.process().output();
  const size_t before = open_descriptors(viewer.pid());

  std::vector<int> idle;
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons((uint16_t)viewer.port());
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (int i = 0; i < 40; i++) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    connect(fd, (struct sockaddr *)&addr, sizeof(addr));  // completes or goes on in the background
    idle.push_back(fd);
  }
  // Until the viewer gives up on the first idle connection it has had every chance to take more.
  size_t most = 0;
  bool closed_one = wait_until(
      [&] {
        most = std::max(most, open_descriptors(viewer.pid()));
        for (int fd : idle) {
          char c;
          if (recv(fd, &c, 1, 0) == 0) return true;
        }
        return false;
      },
      std::chrono::seconds(30), LOOK_PAUSE);
  EXPECT_TRUE(closed_one);
  // Served, waiting in the queue, and the one the accepting thread holds while the queue is full.
  EXPECT_LE(most, before + 2 * MAX_CONNECTIONS + 1);
  EXPECT_GE(most, before + MAX_CONNECTIONS);
  for (int fd : idle) close(fd);

  EXPECT_EQ(viewer.get("/api/trips").status, 200);
  EXPECT_EQ(viewer.process().stop(SIGTERM, 10000), 0);
}
