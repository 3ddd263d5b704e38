// The recorder when things go wrong: segments that cannot be written, encoders that fail or
// cannot be had, a camera that goes away or comes back at another size, an ignition that has
// not been heard of yet. Nothing of it may stop the recording for good or end the loop.

#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/util.h"
#include "selfdrive/orsolo/recorder.h"
#include "selfdrive/orsolo/recorder_config.h"
#include "selfdrive/orsolo/tests/recorder_fixture.h"

namespace {

const char *const EDGE_LOG = "roadrecd: ignition on \xe2\x80\x94 new cycle";

size_t count_prefix(const Logs &logs, const std::string &prefix) {
  return std::count_if(logs.begin(), logs.end(), [&](const std::string &l) { return l.rfind(prefix, 0) == 0; });
}

}  // namespace

TEST_F(RecorderTest, IgnitionAlreadyOnAtStartIsNoEdge) {
  // The first frames come before any deviceState message; the first message says "on".
  inputs_.device_state_received = false;
  inputs_.ignition = true;
  rec_->begin();
  process(3);
  inputs_.device_state_received = true;
  process(5);
  EXPECT_EQ(trips().size(), 1u);
  EXPECT_EQ(count_prefix(logs(), EDGE_LOG), 0u);
  // Heard off, then on: that is an edge.
  inputs_.ignition = false;
  process(1);
  inputs_.ignition = true;
  process(1);
  EXPECT_EQ(count_prefix(logs(), EDGE_LOG), 1u);
  EXPECT_EQ(trips().size(), 2u);
}

TEST_F(RecorderTest, WriteFailureKeepsTheSegmentAndRetriesEveryFewSecondsInTheSameTrip) {
  rec_->begin();
  const std::string trip = st().trip_dir;
  process(20);
  logs();

  // The disk is full: a segment takes a frame (into the encoder), then fails writing it.
  journal_.write_fails_after = 0;
  process(1);  // fails: the segment is closed with what it took
  EXPECT_FALSE(st().segment_open);
  EXPECT_EQ(util::read_file(trip + "/20240501-170322.mp4"), "frames=20");
  EXPECT_FALSE(util::file_exists(trip + "/20240501-170322.mp4.lock"));
  journal_.write_fails_after = 1;
  process(2);  // a new segment at once, which takes a frame and fails on the next
  EXPECT_EQ(count_events("open "), 2u);

  // Then a try every few seconds while frames are dropped, and one warning for it all.
  process(29);  // 3 s after that failure
  EXPECT_EQ(count_events("open "), 2u);
  process(1);
  EXPECT_EQ(count_events("open "), 3u);
  process(62);
  EXPECT_EQ(count_events("open "), 5u);
  EXPECT_EQ(journal_.timestamps.size(), 24u);
  EXPECT_EQ(logs(), (Logs{"roadrecd: segment 20240501-170322 cannot be written, dropping frames until there is room"}));

  // Room again: the next try records, and once it has recorded for 2 s that is said, once.
  journal_.write_fails_after = -1;
  process(60);
  EXPECT_TRUE(st().segment_open);
  EXPECT_GE(st().frame_count, 20);
  EXPECT_EQ(st().trip_dir, trip);
  EXPECT_EQ(trips().size(), 1u);
  EXPECT_EQ(logs(), (Logs{"roadrecd: recording resumed in segment " + st().segment_name}));
  EXPECT_EQ(journal_.live_encoders, 1);
}

TEST_F(RecorderTest, SegmentThatTakesNoFrameAfterAWriteFailureLeavesNoFiles) {
  rec_->begin();
  const std::string trip = st().trip_dir;
  process(5);
  journal_.status = SegmentStatus::WRITE_FAILED;
  process(2);  // the failure, then a new segment at once that takes nothing
  EXPECT_EQ(count_events("open "), 2u);
  EXPECT_EQ(list_dir(trip), (std::vector<std::string>{"20240501-170322.mp4", "20240501-170322.srt"}));
}

TEST_F(RecorderTest, SegmentThatCannotBeOpenedIsTriedAgainUntilThereIsRoom) {
  journal_.refuse_open = true;
  rec_->begin();
  EXPECT_TRUE(st().trip_open());
  EXPECT_FALSE(st().segment_open);
  EXPECT_TRUE(process(100));  // 10 s: the trip logic runs on, frames are dropped
  EXPECT_EQ(count_events("refused "), 4u);  // at 0, 3, 6 and 9 s
  EXPECT_TRUE(journal_.timestamps.empty());
  Logs l = logs();
  EXPECT_EQ(count_prefix(l, "roadrecd: segment "), 1u);
  EXPECT_EQ(count_prefix(l, "roadrecd: opening segment"), 1u);  // only the first attempt says so

  journal_.refuse_open = false;
  process(60);
  EXPECT_TRUE(st().segment_open);
  EXPECT_EQ(count_prefix(logs(), "roadrecd: recording resumed in segment "), 1u);
}

TEST_F(RecorderTest, EncoderFaultClosesTheTripAndAFreshEncoderStartsANewOne) {
  rec_->begin();
  inputs_.drive = true;
  const std::string first = st().trip_dir;
  process(30);
  logs();
  clock_.advance(5.0);  // the next trip gets another name

  journal_.status = SegmentStatus::ENCODER_FAILED;
  process(1);
  journal_.status = SegmentStatus::OK;
  EXPECT_EQ(util::read_file(first + "/20240501-170322.mp4"), "frames=30");
  EXPECT_FALSE(util::file_exists(first + "/20240501-170322.mp4.lock"));
  EXPECT_NE(st().trip_dir, first);
  EXPECT_EQ(st().state, RECORDING);  // the drive goes on
  EXPECT_EQ(journal_.live_encoders, 1);
  EXPECT_EQ(count_events("create "), 2u);
  EXPECT_EQ(logs(), (Logs{"roadrecd: encoder failed, closing trip " + first + " and starting a new one",
                          "roadrecd: segment closed", "roadrecd: trip ended", "roadrecd: new trip " + st().trip_dir,
                          "roadrecd: opening segment 20240501-170330"}));
  process(5);
  EXPECT_EQ(st().frame_count, 5);

  // A fault that lasts: the next encoder comes only a few seconds after the last one was made.
  journal_.status = SegmentStatus::ENCODER_FAILED;
  process(1);
  EXPECT_EQ(count_events("create "), 2u);
  EXPECT_FALSE(st().encoder);
  process(30);
  EXPECT_EQ(count_events("create "), 3u);
  EXPECT_TRUE(st().trip_open());
}

TEST_F(RecorderTest, EncoderThatCannotBeHadIsAskedForAgainEveryFewSeconds) {
  refuse_encoder_ = true;
  rec_->begin();
  EXPECT_TRUE(st().trip_open());
  EXPECT_TRUE(process(100));
  EXPECT_FALSE(st().encoder);
  Logs l = logs();
  EXPECT_EQ(count_prefix(l, "roadrecd: no encoder could be had"), 1u);

  refuse_encoder_ = false;
  process(30);
  ASSERT_TRUE(st().encoder);
  EXPECT_TRUE(st().segment_open);
  EXPECT_GT(st().frame_count, 0);
  EXPECT_EQ(trips().size(), 1u);
  l = logs();
  ASSERT_GE(l.size(), 2u);
  EXPECT_EQ(l[0], "roadrecd: encoder available again");
  EXPECT_EQ(l[1].rfind("roadrecd: opening segment ", 0), 0u);
}

TEST_F(RecorderTest, ShutdownIsHonouredWhileNoFrameComes) {
  rec_->begin();
  process(5);
  key_.value = true;
  int passes = 0;
  while (passes < 100) {
    clock_.advance(0.1);  // a loop pass waits 100 ms for a frame
    passes++;
    if (!rec_->on_no_frame()) break;
  }
  EXPECT_LE(passes, 10);
  EXPECT_EQ(key_.acks, 1);
  EXPECT_EQ(st().state, TRIP_ENDED);
  EXPECT_EQ(util::read_file(st().trip_dir + "/20240501-170322.mp4"), "frames=5");
}

TEST_F(RecorderTest, LostCameraClosesTheSegmentAndTheTripGoesOnInANewOne) {
  rec_->begin();
  const std::string trip = st().trip_dir;
  process(12);
  rec_->camera_lost();
  EXPECT_FALSE(st().segment_open);
  EXPECT_EQ(util::read_file(trip + "/20240501-170322.mp4"), "frames=12");
  EXPECT_FALSE(util::file_exists(trip + "/20240501-170322.mp4.lock"));
  for (int i = 0; i < 30; i++) {
    clock_.advance(0.1);
    ASSERT_TRUE(rec_->on_no_frame());
  }
  process(3);
  EXPECT_EQ(st().trip_dir, trip);
  EXPECT_EQ(st().segment_name, "20240501-170326");
  EXPECT_EQ(st().frame_count, 3);
  EXPECT_EQ(journal_.live_encoders, 1);
}

TEST_F(RecorderTest, VideosDirectoryRemovedMidTripIsMadeAgainForTheNextSegment) {
  rec_->begin();
  process(3);
  rec_->camera_lost();
  std::filesystem::remove_all(base_);
  process(2);
  EXPECT_TRUE(util::file_exists(st().trip_dir + "/" + st().segment_name + ".mp4.lock"));
  EXPECT_EQ(st().frame_count, 2);
}

TEST_F(RecorderTest, NewFrameSizeStartsANewTripAtThatSizeAndNewStrideDoesNot) {
  rec_->begin();
  inputs_.drive = true;
  process(10);
  const std::string first = st().trip_dir;
  clock_.advance(2.0);

  rec_->set_geometry(FrameGeometry{64, 32, 128, 128});
  EXPECT_EQ(st().trip_dir, first);
  EXPECT_EQ(journal_.sizes.size(), 1u);

  logs();
  rec_->set_geometry(FrameGeometry{32, 16, 32, 32});
  EXPECT_NE(st().trip_dir, first);
  EXPECT_EQ(st().state, RECORDING);
  EXPECT_EQ(journal_.sizes, (std::vector<std::pair<int, int>>{{64, 32}, {32, 16}}));
  EXPECT_EQ(util::read_file(first + "/20240501-170322.mp4"), "frames=10");
  Logs l = logs();
  ASSERT_FALSE(l.empty());
  EXPECT_EQ(l[0], "roadrecd: frame size changed to 32x16");
  process(2);
  EXPECT_EQ(st().frame_count, 2);
}

TEST_F(RecorderTest, ReserveIsCheckedWhenASegmentOpensAndEveryTenSeconds) {
  rec_->begin();
  EXPECT_EQ(probes_, 1);  // the first segment
  process(99);            // 9.9 s
  EXPECT_EQ(probes_, 1);
  process(1);
  EXPECT_EQ(probes_, 2);
  // Also while no frame comes.
  for (int i = 0; i < 100; i++) {
    clock_.advance(0.1);
    rec_->on_no_frame();
  }
  EXPECT_EQ(probes_, 3);
}

TEST_F(RecorderTest, SegmentThatTookNoFrameLeavesNothingBehind) {
  rec_->begin();
  const std::string trip = st().trip_dir;
  rec_->finish();
  EXPECT_FALSE(util::file_exists(trip));
}
