#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/util.h"
#include "selfdrive/orsolo/recorder.h"
#include "selfdrive/orsolo/recorder_config.h"
#include "selfdrive/orsolo/tests/recorder_fixture.h"

namespace {

const char *const EDGE_LOG = "roadrecd: ignition on \xe2\x80\x94 new cycle";

}  // namespace

TEST_F(RecorderTest, StartOpensTripWithIdleTimerRunning) {
  rec_->begin();
  EXPECT_EQ(st().state, IDLE_TIMEOUT);
  EXPECT_DOUBLE_EQ(st().idle_timer_start, 1000.0);
  EXPECT_EQ(st().trip_dir, base_ + "/20240501-170322");
  EXPECT_TRUE(util::file_exists(st().trip_dir + "/20240501-170322.mp4.lock"));
  EXPECT_TRUE(util::file_exists(st().trip_dir + "/20240501-170322.srt"));
  EXPECT_EQ(logs(), (Logs{"roadrecd: new trip " + base_ + "/20240501-170322",
                          "roadrecd: opening segment 20240501-170322",
                          "roadrecd: recording started, waiting for drive (10-min idle timer active)"}));
}

TEST_F(RecorderTest, EverySecondReceivedFrameIsProcessed) {
  rec_->begin();
  feed(7);
  EXPECT_EQ(st().recv_count, 7);
  EXPECT_EQ(inputs_.updates, 3);
  EXPECT_EQ(st().frame_count, 3);
  // Timestamps are boot-clock nanoseconds since the segment opened.
  EXPECT_EQ(journal_.timestamps, (std::vector<uint64_t>{100000000, 200000000, 300000000}));
}

TEST_F(RecorderTest, IdleAndEndedStartATripOnlyInDrive) {
  // Before the first trip the state is IDLE; a driving gear opens a trip and records.
  process(2);
  EXPECT_EQ(st().state, IDLE);
  EXPECT_EQ(journal_.timestamps.size(), 0u);
  inputs_.drive = true;
  process(1);
  EXPECT_EQ(st().state, RECORDING);
  EXPECT_EQ(st().frame_count, 1);
  EXPECT_EQ(trips().size(), 1u);
}

TEST_F(RecorderTest, LeavingAndReturningToDriveKeepsTheSegment) {
  rec_->begin();
  inputs_.drive = true;
  process(5);
  EXPECT_EQ(st().state, RECORDING);
  EXPECT_DOUBLE_EQ(st().idle_timer_start, 0.0);
  inputs_.drive = false;
  process(1);
  EXPECT_EQ(st().state, IDLE_TIMEOUT);
  EXPECT_DOUBLE_EQ(st().idle_timer_start, clock_.boot_seconds());
  process(100);
  inputs_.drive = true;
  process(1);
  EXPECT_EQ(st().state, RECORDING);
  EXPECT_EQ(st().frame_count, 107);
  EXPECT_EQ(trips().size(), 1u);
  Logs l = logs();
  EXPECT_EQ(Logs(l.end() - 3, l.end()), (Logs{"roadrecd: back in drive, resuming trip",
                                              "roadrecd: car not in drive, starting 10-min idle timer",
                                              "roadrecd: back in drive, resuming trip"}));
}

TEST_F(RecorderTest, IdleTimeoutEndsTripAtExactly600Seconds) {
  rec_->begin();
  logs();
  const std::string first = st().trip_dir;
  // The timer started at 1000.0 s; frames land every 100 ms, the last one before 600 s at 599.9.
  process(5999);
  EXPECT_DOUBLE_EQ(clock_.boot_seconds(), 1599.9);
  EXPECT_EQ(st().state, IDLE_TIMEOUT);
  process(1);
  EXPECT_EQ(st().state, TRIP_ENDED);
  EXPECT_DOUBLE_EQ(st().idle_timer_start, 0.0);
  EXPECT_EQ(st().frame_count, 0);
  EXPECT_EQ(journal_.live_encoders, 0);
  EXPECT_FALSE(util::file_exists(first + "/20240501-170322.mp4.lock"));
  // Rotation happened three times in 600 s; the log ends with the trip's closing lines.
  Logs l = logs();
  EXPECT_EQ(Logs(l.end() - 3, l.end()),
            (Logs{"roadrecd: idle timeout expired", "roadrecd: segment closed", "roadrecd: trip ended"}));

  // Ended: nothing is encoded until the car is in drive, which opens a new trip directory.
  const size_t encoded = journal_.timestamps.size();
  process(50);
  EXPECT_EQ(journal_.timestamps.size(), encoded);
  inputs_.drive = true;
  process(1);
  EXPECT_EQ(st().state, RECORDING);
  EXPECT_NE(st().trip_dir, first);
  EXPECT_EQ(trips().size(), 2u);
  EXPECT_EQ(journal_.timestamps.size(), encoded + 1);
}

TEST_F(RecorderTest, IgnitionEdgeOpensNewTrip) {
  inputs_.ignition = true;  // already on at the first processed frame: not an edge
  rec_->begin();
  process(3);
  EXPECT_EQ(trips().size(), 1u);
  inputs_.ignition = false;
  process(20);
  logs();
  const std::string first = st().trip_dir;
  inputs_.ignition = true;
  process(1);
  EXPECT_NE(st().trip_dir, first);
  EXPECT_EQ(st().state, IDLE_TIMEOUT);
  EXPECT_DOUBLE_EQ(st().idle_timer_start, clock_.boot_seconds());
  EXPECT_EQ(st().frame_count, 1);
  EXPECT_EQ(trips().size(), 2u);
  EXPECT_EQ(util::read_file(first + "/20240501-170322.mp4"), "frames=23");
  EXPECT_EQ(logs(), (Logs{EDGE_LOG, "roadrecd: segment closed", "roadrecd: trip ended",
                          "roadrecd: new trip " + st().trip_dir, "roadrecd: opening segment 20240501-170324"}));
  // Staying on is no edge.
  process(5);
  EXPECT_EQ(trips().size(), 2u);
}

TEST_F(RecorderTest, IgnitionEdgeInDriveResumesRecordingAtOnce) {
  rec_->begin();
  process(1);
  logs();
  inputs_.ignition = true;
  inputs_.drive = true;
  process(1);
  EXPECT_EQ(st().state, RECORDING);
  Logs l = logs();
  ASSERT_FALSE(l.empty());
  EXPECT_EQ(l.front(), EDGE_LOG);
  EXPECT_EQ(l.back(), "roadrecd: back in drive, resuming trip");
}

TEST_F(RecorderTest, IgnitionEdgeAfterTripEndedOpensTripWithoutClosing) {
  rec_->begin();
  process(6001);
  ASSERT_EQ(st().state, TRIP_ENDED);
  logs();
  inputs_.ignition = true;
  process(1);
  EXPECT_EQ(st().state, IDLE_TIMEOUT);
  Logs l = logs();
  ASSERT_EQ(l.size(), 3u);
  EXPECT_EQ(l[0], EDGE_LOG);
  EXPECT_EQ(l[1].rfind("roadrecd: new trip ", 0), 0u);
}

TEST_F(RecorderTest, ShutdownKeyIsReadOnEveryTenthProcessedFrame) {
  rec_->begin();
  process(9);
  EXPECT_EQ(key_.reads, 0);
  process(1);
  EXPECT_EQ(key_.reads, 1);
  process(19);
  EXPECT_EQ(key_.reads, 2);
  process(1);
  EXPECT_EQ(key_.reads, 3);
  // Received frames that are dropped never count.
  feed(1);
  EXPECT_EQ(key_.reads, 3);
}

TEST_F(RecorderTest, ShutdownRequestClosesTripAndAcknowledges) {
  rec_->begin();
  process(4);
  logs();
  key_.value = true;
  EXPECT_TRUE(process(5));
  EXPECT_FALSE(process(1));  // the 10th processed frame sees the key
  EXPECT_EQ(key_.acks, 1);
  EXPECT_EQ(st().state, TRIP_ENDED);
  EXPECT_EQ(st().frame_count, 0);
  EXPECT_FALSE(util::file_exists(st().trip_dir + "/20240501-170322.mp4.lock"));
  // The frame that saw the request is not encoded.
  EXPECT_EQ(util::read_file(st().trip_dir + "/20240501-170322.mp4"), "frames=9");
  rec_->finish();
  EXPECT_EQ(logs(), (Logs{"roadrecd: shutdown requested, closing trip", "roadrecd: segment closed",
                          "roadrecd: trip ended", "roadrecd: shutdown ack sent, exiting", "roadrecd: stopped"}));
}

TEST_F(RecorderTest, ShutdownWithoutOpenTripIsStillAcknowledged) {
  rec_->begin();
  process(6001);
  ASSERT_EQ(st().state, TRIP_ENDED);
  logs();
  key_.value = true;
  int frames = 0;
  while (process(1)) frames++;
  EXPECT_LT(frames, 10);
  EXPECT_EQ(key_.acks, 1);
  EXPECT_EQ(logs(), (Logs{"roadrecd: shutdown requested, closing trip", "roadrecd: shutdown ack sent, exiting"}));
}

TEST_F(RecorderTest, RotationPutsExactly1800FramesInASegment) {
  rec_->begin();
  const std::string dir = st().trip_dir;
  process(1800);
  EXPECT_EQ(st().frame_count, 1800);
  EXPECT_EQ(st().srt_index, 180);
  logs();
  process(1);  // the 1801st rotates first
  EXPECT_EQ(st().frame_count, 1);
  EXPECT_EQ(st().srt_index, 1);
  EXPECT_EQ(st().trip_dir, dir);
  EXPECT_EQ(util::read_file(dir + "/20240501-170322.mp4"), "frames=1800");
  EXPECT_FALSE(util::file_exists(dir + "/20240501-170322.mp4.lock"));
  EXPECT_TRUE(util::file_exists(dir + "/20240501-170622.mp4.lock"));
  EXPECT_EQ(logs(), (Logs{"roadrecd: opening segment 20240501-170622"}));
  // The encoder survives rotation; only its output file changes.
  EXPECT_EQ(journal_.live_encoders, 1);
  EXPECT_EQ(std::count(journal_.events.begin(), journal_.events.end(), "create " + dir), 1);
  // The first frame of the new segment is stamped from the new segment's start, never 0 µs
  // (which the writer would drop).
  EXPECT_EQ(journal_.timestamps.back(), 1000u);
}

TEST_F(RecorderTest, SubtitleEntriesCountSecondsNotElapsedTime) {
  rec_->begin();
  GpsFix g;
  g.has_fix = true;
  g.latitude = 37.7749;
  g.longitude = -122.4194;
  g.speed = 15.6464f;  // 35 mph
  inputs_.fix = g;
  process(1);   // entry 1 at once
  process(10);  // entry 2 after one second
  inputs_.fix = GpsFix{};
  process(1);
  clock_.advance(7.0);  // a stalled camera delays the next entry but does not shift its times
  process(1);
  rec_->finish();
  const std::string srt = util::read_file(st().trip_dir + "/20240501-170322.srt");
  EXPECT_EQ(srt,
            "1\n00:00:00,000 --> 00:00:01,000\n35 MPH | 37.7749\xc2\xb0N 122.4194\xc2\xb0W | 2024-05-01 17:03:22 UTC\n\n"
            "2\n00:00:01,000 --> 00:00:02,000\n35 MPH | 37.7749\xc2\xb0N 122.4194\xc2\xb0W | 2024-05-01 17:03:23 UTC\n\n"
            "3\n00:00:02,000 --> 00:00:03,000\nNo GPS | 2024-05-01 17:03:30 UTC\n\n");
}

TEST_F(RecorderTest, UnopenableSubtitleFileLeavesEncodingRunning) {
  // The subtitle file's name is a link into a directory that does not exist: the name is free
  // (nothing is there), yet fopen cannot create the file, not even as root.
  const std::string dir = base_ + "/20240501-170322";
  mkdir(dir.c_str(), 0755);
  ASSERT_EQ(symlink((dir_ / "missing/file.srt").c_str(), (dir + "/20240501-170322.srt").c_str()), 0);
  rec_->begin();
  EXPECT_EQ(st().segment_name, "20240501-170322");
  EXPECT_EQ(st().srt_file, nullptr);
  process(1800);
  EXPECT_EQ(st().frame_count, 1800);
  // The next segment tries again, and has its subtitles.
  process(1);
  EXPECT_EQ(st().segment_name, "20240501-170622");
  EXPECT_NE(st().srt_file, nullptr);
  EXPECT_EQ(util::read_file(dir + "/20240501-170322.mp4"), "frames=1800");
}

TEST_F(RecorderTest, SegmentInTheSameSecondNeverTruncatesAnEarlierOne) {
  // Ignition edge in the trip's first second: the new trip reuses the directory, and its
  // segment takes the next free name with MP4, lock and SRT kept together.
  rec_->begin();
  inputs_.ignition = false;
  process(1);
  inputs_.ignition = true;
  clock_.boot_ns -= 200000000;  // stay inside the same wall-clock second
  process(1);
  const std::string dir = st().trip_dir;
  EXPECT_EQ(trips().size(), 1u);
  EXPECT_EQ(st().segment_name, "20240501-170322_1");
  EXPECT_EQ(util::read_file(dir + "/20240501-170322.mp4"), "frames=1");
  EXPECT_TRUE(util::file_exists(dir + "/20240501-170322_1.mp4.lock"));
  EXPECT_TRUE(util::file_exists(dir + "/20240501-170322_1.srt"));
  EXPECT_NE(util::read_file(dir + "/20240501-170322.srt"), "");
  // And once more in the same second.
  inputs_.ignition = false;
  process(1);
  inputs_.ignition = true;
  clock_.boot_ns -= 200000000;
  process(1);
  EXPECT_EQ(st().segment_name, "20240501-170322_2");
  EXPECT_EQ(util::read_file(dir + "/20240501-170322_1.mp4"), "frames=2");
}

TEST_F(RecorderTest, ExitDuringTripFinalisesSegmentQuietly) {
  rec_->begin();
  process(12);
  logs();
  rec_->finish();
  EXPECT_EQ(st().srt_file, nullptr);
  EXPECT_EQ(journal_.live_encoders, 0);
  EXPECT_EQ(util::read_file(st().trip_dir + "/20240501-170322.mp4"), "frames=12");
  EXPECT_FALSE(util::file_exists(st().trip_dir + "/20240501-170322.mp4.lock"));
  EXPECT_EQ(logs(), (Logs{"roadrecd: stopped"}));
  rec_->finish();  // idempotent
  EXPECT_EQ(logs(), Logs{});
}

TEST(SystemTime, ValidFrom2024Utc) {
  EXPECT_FALSE(system_time_valid(0));
  EXPECT_FALSE(system_time_valid(1704067199));  // 2023-12-31 23:59:59 UTC
  EXPECT_TRUE(system_time_valid(1704067200));   // 2024-01-01 00:00:00 UTC
  EXPECT_TRUE(system_time_valid(1714583002));
}
