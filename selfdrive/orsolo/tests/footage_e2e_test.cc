// What the footage survives, end to end: a camera server that restarts, kills at any moment,
// a small or full file system, encoder faults; and the daemon's own command line and output.

#include <signal.h>

#include <cstring>
#include <set>

#include "selfdrive/orsolo/tests/recorder_e2e_fixture.h"
#include "tests/support/run_program.h"
#include "tests/support/tmpfs_mount.h"

namespace {

void write_bytes(const std::string &path, size_t bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path) << std::string(bytes, 'x');
}

}  // namespace

TEST_F(RecorderE2E, HelpSaysWhatTheDaemonDoesAndOtherArgumentsAreIgnored) {
  ChildProcess help({ROADRECD, "--help"}, world_.env(), world_.dir(), world_.path("help.out"));
  ASSERT_EQ(help.wait_exit(30000), 0);
  const std::string text = help.output();
  for (const char *word : {"dashcam", "ROADRECD_VIDEOS_DIR", "ROADRECD_MIN_FREE_PERCENT", "KEEP"}) {
    EXPECT_NE(text.find(word), std::string::npos) << word << " in:\n" << text;
  }
  EXPECT_FALSE(fs::exists(videos()));  // it recorded nothing

  // Anything else on the command line changes nothing; a videos directory whose parents are
  // missing is made with them.
  const std::string deep = world_.path("card/dashcam/videos");
  start_recorder({{"ROADRECD_VIDEOS_DIR", deep}}, {"--unknown", "value"});
  sim_ = start_simulator("0 ignition off\n");
  ASSERT_TRUE(wait_logged(STARTED_LOG)) << recorder_->output();
  ASSERT_TRUE(wait_until(
      [&] { return list_dir(deep).size() == 1 && !list_dir(deep + "/" + list_dir(deep)[0], ".srt").empty(); },
      30s, LOOK_EVERY));
  EXPECT_EQ(recorder_->stop(SIGTERM), 0);
}

TEST_F(RecorderE2E, PrintedLinesSurviveAKill) {
  // No camera: the daemon prints its first lines and waits for one.
  start_recorder();
  ASSERT_TRUE(wait_logged("roadrecd: started, connecting to imagerd road stream", 30s));
  EXPECT_EQ(recorder_->stop(SIGKILL), SIGKILL);
  EXPECT_NE(recorder_->output().find("roadrecd: started, connecting to imagerd road stream"), std::string::npos)
      << recorder_->output();
}

TEST_F(RecorderE2E, CameraServerBackAtTheSameSizeContinuesTheTripInANewSegment) {
  start_recorder();
  sim_ = start_simulator("0 ignition off\n");
  ASSERT_TRUE(wait_logged(STARTED_LOG)) << recorder_->output();
  ASSERT_TRUE(wait_until([&] { return newest_srt_entries() >= 2; }, 30s, LOOK_EVERY));
  EXPECT_EQ(sim_->stop(SIGTERM), 0);
  ASSERT_TRUE(wait_logged("roadrecd: camera connection lost, reconnecting", 30s));

  sim_ = start_simulator("0 ignition off\n", {}, "sim2");
  ASSERT_TRUE(wait_logged("roadrecd: camera back, 320x240", 30s)) << recorder_->output();
  ASSERT_EQ(trips().size(), 1u);
  const std::string dir = videos() + "/" + trips()[0];
  ASSERT_TRUE(wait_until([&] { return list_dir(dir, ".mp4").size() == 2 && newest_srt_entries() >= 2; }, 30s,
                         LOOK_EVERY));

  // Away again: an exit request is still honoured.
  EXPECT_EQ(sim_->stop(SIGTERM), 0);
  ASSERT_TRUE(wait_until([&] { return count_logged_prefix("roadrecd: camera connection lost") == 2; }, 30s,
                         LOOK_EVERY));
  EXPECT_EQ(recorder_->stop(SIGTERM, 10000), 0);
  EXPECT_EQ(trips().size(), 1u);
  EXPECT_EQ(list_dir(dir, ".mp4").size(), 2u);
  expect_finalised_trips();
}

TEST_F(RecorderE2E, CameraServerBackAtAnotherSizeStartsANewTripAndShutdownIsAnsweredWhileItIsAway) {
  start_recorder();
  sim_ = start_simulator("0 ignition off\n");
  ASSERT_TRUE(wait_logged(STARTED_LOG)) << recorder_->output();
  ASSERT_TRUE(wait_until([&] { return newest_srt_entries() >= 2; }, 30s, LOOK_EVERY));
  // Back at once: the first packet of the new server tells the client.
  EXPECT_EQ(sim_->stop(SIGTERM), 0);
  sim_ = start_simulator("0 ignition off\n", {"--width", "160", "--height", "120"}, "sim2");
  ASSERT_TRUE(wait_logged("roadrecd: frame size changed to 160x120", 30s)) << recorder_->output();
  ASSERT_TRUE(wait_until([&] { return trips().size() == 2 && newest_srt_entries() >= 2; }, 30s, LOOK_EVERY));

  EXPECT_EQ(sim_->stop(SIGTERM), 0);
  const int losses = count_logged_prefix("roadrecd: camera connection lost");
  ASSERT_TRUE(wait_until([&] { return count_logged_prefix("roadrecd: camera connection lost") > losses; },
                         30s, LOOK_EVERY));
  const std::string key = request_shutdown();
  const int status = recorder_->wait_exit(30000);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(util::read_file(key), "0");

  const std::string second = videos() + "/" + trips()[1];
  const std::string mp4 = second + "/" + list_dir(second, ".mp4")[0];
  EXPECT_EQ(
      run_command(std::string(ffprobe_program()) +
                  " -v error -select_streams v:0 -show_entries stream=width,height -of csv=p=0 '" + mp4 + "'")
          .out,
      "160,120\n");
  expect_finalised_trips();
}

TEST_F(RecorderE2E, LoopRecordingOnASmallFileSystemSparesTheOpenSegmentKeptTripsAndForeignFiles) {
  MOUNT_TMPFS_OR_SKIP(disk, videos(), 16 << 20);
  constexpr size_t MB = 1 << 20;
  // 13 MB of 16 in use: the oldest trip, a kept one, a newer one and a file of the user's.
  for (const char *seg : {"20240101-080000", "20240101-080300", "20240101-080600"}) {
    write_bytes(videos() + "/20240101-080000/" + seg + ".mp4", 2 * MB);
    write_bytes(videos() + "/20240101-080000/" + seg + ".srt", 100);
  }
  write_bytes(videos() + "/20240102-080000/20240102-080000.mp4", 2 * MB);
  write_bytes(videos() + "/20240102-080000/20240102-080000.srt", 100);
  write_bytes(videos() + "/20240102-080000/KEEP", 0);
  for (const char *seg : {"20240103-080000", "20240103-080300"}) {
    write_bytes(videos() + "/20240103-080000/" + seg + ".mp4", 2 * MB);
    write_bytes(videos() + "/20240103-080000/" + seg + ".srt", 100);
  }
  write_bytes(videos() + "/notes.txt", MB);

  // 60% (9.6 MB) to keep free: the first segment's opening deletes the whole oldest trip and the
  // first pair of the next deletable one.
  start_recorder({{"ROADRECD_MIN_FREE_PERCENT", "60"}});
  sim_ = start_simulator("0 ignition off\n");
  ASSERT_TRUE(wait_logged(STARTED_LOG)) << recorder_->output();
  auto deletions = [&] {
    std::vector<std::string> out;
    for (auto &m : recorder_logs()) {
      if (m.rfind("roadrecd: loop recording", 0) == 0) out.push_back(m);
    }
    return out;
  };
  const std::vector<std::string> at_open = {
      "roadrecd: loop recording deleted 20240101-080000/20240101-080000 (.mp4, .srt)",
      "roadrecd: loop recording deleted 20240101-080000/20240101-080300 (.mp4, .srt)",
      "roadrecd: loop recording deleted 20240101-080000/20240101-080600 (.mp4, .srt)",
      "roadrecd: loop recording removed trip 20240101-080000",
      "roadrecd: loop recording deleted 20240103-080000/20240103-080000 (.mp4, .srt)"};
  ASSERT_TRUE(wait_until([&] { return deletions().size() >= at_open.size(); }, 30s, LOOK_EVERY));
  const std::vector<std::string> first = deletions();
  EXPECT_EQ(std::vector<std::string>(first.begin(), first.begin() + at_open.size()), at_open);

  // Recording goes on past a periodic check; what may not go stays whatever the space.
  ASSERT_TRUE(wait_until([&] { return newest_srt_entries() >= 12; }, 60s, LOOK_EVERY));
  EXPECT_EQ(recorder_->stop(SIGTERM), 0);
  EXPECT_TRUE(fs::exists(videos() + "/20240102-080000/20240102-080000.mp4"));
  EXPECT_TRUE(fs::exists(videos() + "/20240102-080000/KEEP"));
  EXPECT_EQ(fs::file_size(videos() + "/notes.txt"), MB);
  EXPECT_FALSE(fs::exists(videos() + "/20240101-080000"));
  // The recording itself: whole, every frame of it.
  std::string own;
  for (auto &t : trips()) {
    if (t.rfind("2024010", 0) != 0) own = t;
  }
  ASSERT_FALSE(own.empty());
  const std::string dir = videos() + "/" + own;
  ASSERT_EQ(list_dir(dir, ".mp4").size(), 1u);
  EXPECT_GE(expect_every_frame_decodes(dir + "/" + list_dir(dir, ".mp4")[0]), 110);
  EXPECT_TRUE(list_dir(dir, ".lock").empty());
}

namespace {

// Where in a run of the recorder a kill lands.
enum class Feed { REAL_TIME, FAST };  // the camera at 20 frames/s, or at 1000 (a segment in seconds)
enum class At {
  TRIP_START,  // the run's trip directory exists (its first segment may not)
  SEGMENT,     // the run's n-th segment has been opened (n = 2: the first rotation)
  ENTRIES,     // the newest subtitle file has n entries (about n - 1 s of video handed over)
};
struct KillMoment {
  const char *what;
  Feed feed;
  At at;
  int n;
  int delay_ms;  // after the event: the moment itself, not a synchronisation
};

const KillMoment KILL_MOMENTS[] = {
    {"trip start", Feed::REAL_TIME, At::TRIP_START, 0, 0},
    {"trip start +20 ms", Feed::REAL_TIME, At::TRIP_START, 0, 20},
    {"first segment just opened", Feed::REAL_TIME, At::SEGMENT, 1, 0},
    {"first frame", Feed::REAL_TIME, At::ENTRIES, 1, 0},
    {"2 s in", Feed::REAL_TIME, At::ENTRIES, 3, 0},
    {"3.3 s in", Feed::REAL_TIME, At::ENTRIES, 4, 300},
    {"5 s in", Feed::REAL_TIME, At::ENTRIES, 6, 0},
    {"7.7 s in", Feed::REAL_TIME, At::ENTRIES, 8, 700},
    {"9 s in", Feed::REAL_TIME, At::ENTRIES, 10, 0},
    {"11.5 s in", Feed::REAL_TIME, At::ENTRIES, 12, 500},
    {"fast: trip start", Feed::FAST, At::TRIP_START, 0, 0},
    {"fast: mid first segment", Feed::FAST, At::SEGMENT, 1, 1500},
    {"around the first rotation", Feed::FAST, At::SEGMENT, 1, 3300},
    {"around the first rotation, later", Feed::FAST, At::SEGMENT, 1, 3600},
    {"second segment just opened", Feed::FAST, At::SEGMENT, 2, 0},
    {"second segment +5 ms", Feed::FAST, At::SEGMENT, 2, 5},
    {"second segment +30 ms", Feed::FAST, At::SEGMENT, 2, 30},
    {"second segment +200 ms", Feed::FAST, At::SEGMENT, 2, 200},
    {"third segment just opened", Feed::FAST, At::SEGMENT, 3, 0},
    {"third segment +50 ms", Feed::FAST, At::SEGMENT, 3, 50},
};

// "YYYYMMDD-HHMMSS" of now, local time: the name a trip started now gets.
std::string local_stamp_now() {
  const time_t now = time(nullptr);
  struct tm tm;
  localtime_r(&now, &tm);
  char buf[32];
  strftime(buf, sizeof(buf), "%Y%m%d-%H%M%S", &tm);
  return buf;
}

void PrintTo(Feed feed, std::ostream *os) { *os << (feed == Feed::FAST ? "fast camera" : "real-time camera"); }

class RecorderKillE2E : public RecorderE2E, public ::testing::WithParamInterface<Feed> {};

}  // namespace

TEST_P(RecorderKillE2E, AfterAKillAtAnyMomentEverySegmentPlaysAndOnlyTheLastTwoSecondsAreLost) {
  const Feed feed = GetParam();
  sim_ = start_simulator("0 ignition off\n", feed == Feed::FAST ? std::vector<std::string>{"--fps", "1000"}
                                                                : std::vector<std::string>{});
  struct Killed {
    std::string segment;  // path without ".mp4"
    int entries;          // subtitle entries it had when the recorder died
    const char *moment;
  };
  std::vector<Killed> killed;
  for (const KillMoment &m : KILL_MOMENTS) {
    if (m.feed != feed) continue;
    SCOPED_TRACE(m.what);
    // Each run's trip starts in a second of its own, so its directory is a new one.
    const auto old = trips();
    const std::set<std::string> old_trips(old.begin(), old.end());
    ASSERT_TRUE(wait_until([&] { return old_trips.count(local_stamp_now()) == 0; }, 3s, LOOK_EVERY));
    start_recorder();

    std::string trip;
    std::set<std::string> locks_seen;
    auto reached = [&] {
      if (trip.empty()) {
        for (auto &t : trips()) {
          if (!old_trips.count(t)) trip = t;
        }
        if (trip.empty()) return false;
      }
      for (auto &lock : list_dir(videos() + "/" + trip, ".mp4.lock")) locks_seen.insert(lock);
      switch (m.at) {
        case At::TRIP_START: return true;
        case At::SEGMENT: return (int)locks_seen.size() >= m.n;
        case At::ENTRIES: return newest_srt_entries() >= m.n;
      }
      return false;
    };
    ASSERT_TRUE(wait_until(reached, 60s, 1ms)) << recorder_->output();
    std::this_thread::sleep_for(std::chrono::milliseconds(m.delay_ms));
    ASSERT_EQ(recorder_->stop(SIGKILL), SIGKILL);
    const std::string dir = videos() + "/" + trip;
    for (auto &lock : list_dir(dir, ".mp4.lock")) {
      const std::string segment = dir + "/" + lock.substr(0, lock.size() - strlen(".mp4.lock"));
      killed.push_back({segment, srt_entries(segment + ".srt"), m.what});
    }
  }

  // A last start finishes what the last kill left, as every start did for the kill before it.
  const int started = count_logged_prefix(STARTED_LOG);
  start_recorder();
  ASSERT_TRUE(wait_until([&] { return count_logged_prefix(STARTED_LOG) > started; }, 60s, LOOK_EVERY));
  EXPECT_EQ(recorder_->stop(SIGTERM), 0);

  // Every segment left open was finished once, by the start after its kill.
  EXPECT_EQ(count_logged_prefix("roadrecd: recovered segment ") + count_logged_prefix("roadrecd: removed segment "),
            (int)killed.size());
  EXPECT_EQ(count_logged_prefix("roadrecd: cannot recover segment "), 0);
  for (const Killed &k : killed) {
    SCOPED_TRACE(k.moment);
    if (!fs::exists(k.segment + ".mp4")) {
      // Nothing had reached the disk: allowed only while the segment was under 2 s old.
      EXPECT_LE(k.entries, 2) << k.segment;
      continue;
    }
    expect_every_frame_decodes(k.segment + ".mp4");
    // Entry n is written with a frame at least n - 1 s into the segment: everything up to 2 s
    // before that must be there (less one frame interval).
    EXPECT_GE(mp4_last_pts(k.segment + ".mp4"), k.entries - 3 - 0.1) << k.segment;
  }
  // And every segment on disk, killed or not, plays with every frame.
  for (auto &trip : trips()) {
    const std::string dir = videos() + "/" + trip;
    EXPECT_TRUE(list_dir(dir, ".lock").empty()) << dir;
    for (auto &mp4 : list_dir(dir, ".mp4")) expect_every_frame_decodes(dir + "/" + mp4);
  }
}

INSTANTIATE_TEST_SUITE_P(Feeds, RecorderKillE2E, ::testing::Values(Feed::REAL_TIME, Feed::FAST),
                         [](const ::testing::TestParamInfo<Feed> &info) {
                           return info.param == Feed::FAST ? "FastCamera" : "RealTimeCamera";
                         });

TEST_F(RecorderE2E, FullFileSystemPausesTheRecordingWhichResumesByItselfWhenThereIsRoom) {
  MOUNT_TMPFS_OR_SKIP(disk, videos(), 8 << 20);
  // A file of the user's leaves about 1.5 MB; with no reserve asked, nothing may be deleted.
  write_bytes(videos() + "/filler", 6656 * 1024);
  start_recorder({{"ROADRECD_MIN_FREE_PERCENT", "0"}});
  sim_ = start_simulator("0 ignition off\n", {"--fps", "1000"});
  ASSERT_TRUE(wait_logged(STARTED_LOG)) << recorder_->output();
  ASSERT_TRUE(wait_until([&] { return count_logged_prefix("roadrecd: segment ") > 0; }, 60s, LOOK_EVERY))
      << recorder_->output();
  const size_t records_at_fault = logs().size();
  // A few seconds of a full disk at 500 frames/s, new segments tried all along: one warning.
  std::this_thread::sleep_for(std::chrono::seconds(4));
  EXPECT_EQ(count_logged_prefix("roadrecd: segment "), 1);
  EXPECT_LT(logs().size() - records_at_fault, 20u) << "a log line per frame?";
  ASSERT_TRUE(recorder_->running());

  fs::remove(videos() + "/filler");
  ASSERT_TRUE(wait_until([&] { return count_logged_prefix("roadrecd: recording resumed in segment ") == 1; },
                         30s, LOOK_EVERY))
      << recorder_->output();
  ASSERT_TRUE(wait_until([&] { return newest_srt_entries() >= 2; }, 30s, LOOK_EVERY));
  EXPECT_EQ(recorder_->stop(SIGTERM), 0);
  // One trip: the segment the disk filled up, kept with what it had, the ones after it.
  ASSERT_EQ(trips().size(), 1u);
  EXPECT_GE(list_dir(videos() + "/" + trips()[0], ".mp4").size(), 2u);
  expect_finalised_trips();
}

namespace {

// A fault of the encoder component, injected through the stand-in's switch.
struct EncoderFault {
  const char *injection;  // OMX_STANDIN_FAULT ("/1": only the process's first component has it)
  const char *noticed;    // the recorder's line that says it saw it; null: nothing to see
  const char *resumed;    // the line after which a working encoder records; null: none ever does
  int resumed_count;      // ... its how-manieth time
};

const EncoderFault ENCODER_FAULTS[] = {
    {"stall_output@40/1", "roadrecd: encoder failed, closing trip ", "roadrecd: new trip ", 2},
    {"error@40/1", "roadrecd: encoder failed, closing trip ", "roadrecd: new trip ", 2},
    {"ignore_state@Idle/1", "roadrecd: no encoder could be had", "roadrecd: encoder available again", 1},
    {"no_component@2", "roadrecd: no encoder could be had", "roadrecd: encoder available again", 1},
    {"refuse_state@Executing", "roadrecd: no encoder could be had", nullptr, 0},
    {"refuse_state@Loaded", nullptr, "roadrecd: opening segment ", 1},  // only its release is hit
};

void PrintTo(const EncoderFault &fault, std::ostream *os) { *os << fault.injection; }

class RecorderEncoderFaultE2E : public RecorderE2E, public ::testing::WithParamInterface<EncoderFault> {};

}  // namespace

TEST_P(RecorderEncoderFaultE2E, IsLoggedAndRecordingGoesOnUntilAnExitRequest) {
  const EncoderFault &fault = GetParam();
  start_recorder({{"OMX_STANDIN_FAULT", fault.injection}});
  sim_ = start_simulator("0 ignition off\n");
  ASSERT_TRUE(wait_logged(STARTED_LOG)) << recorder_->output();
  if (fault.noticed) {
    ASSERT_TRUE(wait_until([&] { return count_logged_prefix(fault.noticed) > 0; }, 60s, LOOK_EVERY))
        << recorder_->output();
  }
  if (fault.resumed) {
    // A segment of a working encoder, opened after the fault, takes frames (a new trip is the
    // newest one).
    ASSERT_TRUE(wait_until([&] { return count_logged_prefix(fault.resumed) >= fault.resumed_count; }, 60s,
                           LOOK_EVERY))
        << recorder_->output();
    ASSERT_TRUE(wait_until([&] { return newest_srt_entries() >= 2; }, 60s, LOOK_EVERY))
        << recorder_->output();
  } else {
    // Asked for again every few seconds (quietly), while the process lives on and records nothing.
    EXPECT_FALSE(wait_until([&] { return !recorder_->running(); }, 7s, LOOK_EVERY));
    EXPECT_EQ(count_logged_prefix(fault.noticed), 1);
  }
  EXPECT_EQ(recorder_->stop(SIGTERM), 0);
  EXPECT_EQ(count_logged_prefix("roadrecd: stopped"), 1);
  int frames = 0;
  for (auto &trip : trips()) {
    const std::string dir = videos() + "/" + trip;
    EXPECT_TRUE(list_dir(dir, ".lock").empty()) << dir;
    for (auto &mp4 : list_dir(dir, ".mp4")) frames += expect_every_frame_decodes(dir + "/" + mp4);
  }
  EXPECT_EQ(frames > 0, fault.resumed != nullptr);
}

INSTANTIATE_TEST_SUITE_P(Faults, RecorderEncoderFaultE2E, ::testing::ValuesIn(ENCODER_FAULTS),
                         [](const ::testing::TestParamInfo<EncoderFault> &info) {
                           std::string name;
                           for (const char *c = info.param.injection; *c; c++) name += isalnum(*c) ? *c : '_';
                           return name;
                         });
