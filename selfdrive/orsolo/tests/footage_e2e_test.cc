// What the footage survives, end to end: a camera server that restarts, kills at any moment,
// a small or full file system, encoder faults; and the daemon's own command line and output.

#include <signal.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <set>

#include "selfdrive/orsolo/tests/recorder_e2e_fixture.h"

namespace {

// A small tmpfs mounted for one test, so that a full file system is a real one. Detached when
// the test ends, whatever happened (lazily, should a process still hold a file in it).
class TmpfsMount {
 public:
  TmpfsMount(const std::string &dir, const std::string &size) : dir_(dir) {
    fs::create_directories(dir);
    mounted_ = mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
    if (!mounted_) error_ = strerror(errno);
  }
  ~TmpfsMount() {
    if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
  }
  TmpfsMount(const TmpfsMount &) = delete;
  TmpfsMount &operator=(const TmpfsMount &) = delete;

  bool mounted() const { return mounted_; }
  const std::string &error() const { return error_; }

 private:
  std::string dir_;
  bool mounted_ = false;
  std::string error_;
};

#define MOUNT_TMPFS_OR_SKIP(var, dir, size)                                                              \
  TmpfsMount var(dir, size);                                                                             \
  if (!var.mounted()) GTEST_SKIP() << "this machine does not let the test mount a tmpfs (" << var.error() \
                                   << "); the small-file-system tests need root or CAP_SYS_ADMIN"

void write_bytes(const std::string &path, size_t bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path) << std::string(bytes, 'x');
}

}  // namespace

TEST_F(RecorderE2E, HelpSaysWhatTheDaemonDoesAndOtherArgumentsAreIgnored) {
  ChildProcess help({ROADRECD, "--help"}, env_, run_, run_ + "/help.out");
  ASSERT_EQ(help.wait_exit(30000), 0);
  const std::string text = help.output();
  for (const char *word : {"dashcam", "ROADRECD_VIDEOS_DIR", "ROADRECD_MIN_FREE_PERCENT", "KEEP"}) {
    EXPECT_NE(text.find(word), std::string::npos) << word << " in:\n" << text;
  }
  EXPECT_FALSE(fs::exists(videos()));  // it recorded nothing

  // Anything else on the command line changes nothing; a videos directory whose parents are
  // missing is made with them.
  const std::string deep = run_ + "/card/dashcam/videos";
  start_recorder({{"ROADRECD_VIDEOS_DIR", deep}}, {"--unknown", "value"});
  sim_ = start_simulator("0 ignition off\n");
  ASSERT_TRUE(wait_logged(STARTED_LOG)) << recorder_->output();
  ASSERT_TRUE(wait_until([&] { return list(deep).size() == 1 && !list(deep + "/" + list(deep)[0], ".srt").empty(); },
                         30000));
  EXPECT_EQ(recorder_->stop(SIGTERM), 0);
}

TEST_F(RecorderE2E, PrintedLinesSurviveAKill) {
  // No camera: the daemon prints its first lines and waits for one.
  start_recorder();
  ASSERT_TRUE(wait_logged("roadrecd: started, connecting to imagerd road stream", 30000));
  EXPECT_EQ(recorder_->stop(SIGKILL), SIGKILL);
  EXPECT_NE(recorder_->output().find("roadrecd: started, connecting to imagerd road stream"), std::string::npos)
      << recorder_->output();
}

TEST_F(RecorderE2E, CameraServerBackAtTheSameSizeContinuesTheTripInANewSegment) {
  start_recorder();
  sim_ = start_simulator("0 ignition off\n");
  ASSERT_TRUE(wait_logged(STARTED_LOG)) << recorder_->output();
  ASSERT_TRUE(wait_until([&] { return newest_srt_entries() >= 2; }, 30000));
  EXPECT_EQ(sim_->stop(SIGTERM), 0);
  ASSERT_TRUE(wait_logged("roadrecd: camera connection lost, reconnecting", 30000));

  sim_ = start_simulator("0 ignition off\n", {}, "sim2");
  ASSERT_TRUE(wait_logged("roadrecd: camera back, 320x240", 30000)) << recorder_->output();
  ASSERT_EQ(trips().size(), 1u);
  const std::string dir = videos() + "/" + trips()[0];
  ASSERT_TRUE(wait_until([&] { return list(dir, ".mp4").size() == 2 && newest_srt_entries() >= 2; }, 30000));

  // Away again: an exit request is still honoured.
  EXPECT_EQ(sim_->stop(SIGTERM), 0);
  ASSERT_TRUE(wait_until([&] { return count_logged_prefix("roadrecd: camera connection lost") == 2; }, 30000));
  EXPECT_EQ(recorder_->stop(SIGTERM, 10000), 0);
  EXPECT_EQ(trips().size(), 1u);
  EXPECT_EQ(list(dir, ".mp4").size(), 2u);
  expect_finalised_trips();
}

TEST_F(RecorderE2E, CameraServerBackAtAnotherSizeStartsANewTripAndShutdownIsAnsweredWhileItIsAway) {
  start_recorder();
  sim_ = start_simulator("0 ignition off\n");
  ASSERT_TRUE(wait_logged(STARTED_LOG)) << recorder_->output();
  ASSERT_TRUE(wait_until([&] { return newest_srt_entries() >= 2; }, 30000));
  // Back at once: the first packet of the new server tells the client.
  EXPECT_EQ(sim_->stop(SIGTERM), 0);
  sim_ = start_simulator("0 ignition off\n", {"--width", "160", "--height", "120"}, "sim2");
  ASSERT_TRUE(wait_logged("roadrecd: frame size changed to 160x120", 30000)) << recorder_->output();
  ASSERT_TRUE(wait_until([&] { return trips().size() == 2 && newest_srt_entries() >= 2; }, 30000));

  EXPECT_EQ(sim_->stop(SIGTERM), 0);
  const int losses = count_logged_prefix("roadrecd: camera connection lost");
  ASSERT_TRUE(wait_until([&] { return count_logged_prefix("roadrecd: camera connection lost") > losses; }, 30000));
  const std::string key = request_shutdown();
  const int status = recorder_->wait_exit(30000);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(slurp(key), "0");

  const std::string second = videos() + "/" + trips()[1];
  const std::string mp4 = second + "/" + list(second, ".mp4")[0];
  EXPECT_EQ(run_command(std::string(FFPROBE) + " -v error -select_streams v:0 -show_entries stream=width,height "
                                               "-of csv=p=0 '" + mp4 + "'"),
            "160,120\n");
  expect_finalised_trips();
}

TEST_F(RecorderE2E, LoopRecordingOnASmallFileSystemSparesTheOpenSegmentKeptTripsAndForeignFiles) {
  MOUNT_TMPFS_OR_SKIP(disk, videos(), "16m");
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
  ASSERT_TRUE(wait_until([&] { return deletions().size() >= at_open.size(); }, 30000));
  const std::vector<std::string> first = deletions();
  EXPECT_EQ(std::vector<std::string>(first.begin(), first.begin() + at_open.size()), at_open);

  // Recording goes on past a periodic check; what may not go stays whatever the space.
  ASSERT_TRUE(wait_until([&] { return newest_srt_entries() >= 12; }, 60000));
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
  ASSERT_EQ(list(dir, ".mp4").size(), 1u);
  EXPECT_GE(expect_every_frame_decodes(dir + "/" + list(dir, ".mp4")[0]), 110);
  EXPECT_TRUE(list(dir, ".lock").empty());
}
