#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/timing.h"
#include "selfdrive/orsolo/footage_cleaner.h"
#include "selfdrive/orsolo/car_inputs.h"
#include "selfdrive/orsolo/recorder.h"
#include "selfdrive/orsolo/tests/recorder_fakes.h"
#include "strand/messaging/message_buffer.h"
#include "strand/messaging/socketmaster.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

using Logs = std::vector<std::string>;
using Gear = strand::CarState::GearShifter;

namespace {

// Real queues under this process's own TAVRIN_PREFIX (the log capture picks it).
class CarInputsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogCapture::instance().take();
    shm_dir_ = std::string("/dev/shm/") + getenv("TAVRIN_PREFIX");
    mkdir(shm_dir_.c_str(), 0755);
    // The publisher first: a subscriber that opened a queue before its publisher skips what
    // the publisher sends while it catches up.
    pm_ = std::make_unique<PubMaster>(std::vector<const char *>{"carState", "deviceState", "gpsLocation"});
    sm_ = std::make_unique<SubMaster>(car_topic_list());
    inputs_ = std::make_unique<SubMasterInputs>(*sm_);
  }
  void TearDown() override {
    inputs_.reset();
    pm_.reset();
    sm_.reset();
    std::error_code ec;
    std::filesystem::remove_all(shm_dir_, ec);
  }

  void send_device(bool started, bool valid = true) {
    MessageBuilder msg;
    msg.initEvent(valid).initDeviceState().setStarted(started);
    pm_->send("deviceState", msg);
  }
  void send_gear(Gear gear, bool valid = true) {
    MessageBuilder msg;
    msg.initEvent(valid).initCarState().setGearShifter(gear);
    pm_->send("carState", msg);
  }
  void send_gps(bool fix, double lat, double lon, float speed, bool valid = true) {
    MessageBuilder msg;
    auto g = msg.initEvent(valid).initGpsLocation();
    g.setHasFix(fix);
    g.setLatitude(lat);
    g.setLongitude(lon);
    g.setSpeed(speed);
    pm_->send("gpsLocation", msg);
  }
  // An Event of another kind on `topic`: a fix, as a GPS publisher would send it.
  void send_wrong_kind(const char *topic) {
    MessageBuilder msg;
    auto g = msg.initEvent(true).initGpsLocation();
    g.setHasFix(true);
    g.setLatitude(1.0);
    pm_->send(topic, msg);
  }
  void send_garbage(const char *topic) {
    std::string junk = "this is not a message at all";
    pm_->send(topic, (capnp::byte *)junk.data(), junk.size());
  }

  std::string shm_dir_;
  std::unique_ptr<SubMaster> sm_;
  std::unique_ptr<PubMaster> pm_;
  std::unique_ptr<SubMasterInputs> inputs_;
};

}  // namespace

TEST_F(CarInputsTest, NothingReceivedReadsAsDefaults) {
  inputs_->update();
  EXPECT_FALSE(inputs_->started());
  EXPECT_FALSE(inputs_->ignition_known());
  EXPECT_FALSE(inputs_->in_drive());
  EXPECT_FALSE(inputs_->gps().has_fix);
  // An invalid deviceState is a message: it reads as "not started", and that is known.
  send_device(true, false);
  inputs_->update();
  EXPECT_TRUE(inputs_->ignition_known());
  EXPECT_FALSE(inputs_->started());
}

TEST_F(CarInputsTest, DrivingGears) {
  for (int g = 0; g <= 12; g++) {
    send_gear((Gear)g);
    inputs_->update();
    EXPECT_EQ(inputs_->in_drive(), g == 2 || g == 5 || g == 6 || g == 9) << "gear " << g;
  }
  send_gear((Gear)65535);
  inputs_->update();
  EXPECT_FALSE(inputs_->in_drive());
}

TEST_F(CarInputsTest, ValidFlagGatesEveryValue) {
  send_device(true);
  send_gear(Gear::DRIVE);
  send_gps(true, -33.8688, 151.2093, 12.5f);
  inputs_->update();
  EXPECT_TRUE(inputs_->started());
  EXPECT_TRUE(inputs_->in_drive());
  GpsFix fix = inputs_->gps();
  EXPECT_TRUE(fix.has_fix);
  EXPECT_DOUBLE_EQ(fix.latitude, -33.8688);
  EXPECT_DOUBLE_EQ(fix.longitude, 151.2093);
  EXPECT_FLOAT_EQ(fix.speed, 12.5f);

  send_device(true, false);
  send_gear(Gear::DRIVE, false);
  send_gps(true, 1, 2, 3, false);
  inputs_->update();
  EXPECT_FALSE(inputs_->started());
  EXPECT_FALSE(inputs_->in_drive());
  EXPECT_FALSE(inputs_->gps().has_fix);

  // A fix flag that is off hides whatever position the message carries.
  send_gps(false, 1, 2, 3);
  inputs_->update();
  EXPECT_FALSE(inputs_->gps().has_fix);
}

TEST_F(CarInputsTest, LastValuesHoldWhenThePublisherStops) {
  send_gear(Gear::DRIVE);
  inputs_->update();
  for (int i = 0; i < 5; i++) inputs_->update();
  EXPECT_TRUE(inputs_->in_drive());
}

TEST_F(CarInputsTest, GarbagePayloadReadsAsAbsentAndIsLoggedOncePerSecond) {
  send_gear(Gear::DRIVE);
  send_device(true);
  inputs_->update();
  ASSERT_TRUE(inputs_->in_drive());

  send_garbage("carState");
  inputs_->update();  // must not throw
  EXPECT_FALSE(inputs_->in_drive());
  EXPECT_TRUE(inputs_->started());  // the other topics are untouched
  send_garbage("carState");
  inputs_->update();
  Logs l = LogCapture::instance().take();
  ASSERT_EQ(l.size(), 1u);
  EXPECT_EQ(l[0].rfind("roadrecd: invalid carState message, read as absent: ", 0), 0u) << l[0];
  EXPECT_FALSE(inputs_->in_drive());

  // A readable message restores the topic.
  send_gear(Gear::SPORT);
  inputs_->update();
  EXPECT_TRUE(inputs_->in_drive());
}

TEST_F(CarInputsTest, EventOfAnotherKindReadsAsAbsentAndIsLogged) {
  send_device(false);
  send_gear(Gear::DRIVE);
  inputs_->update();
  ASSERT_TRUE(inputs_->ignition_known());
  ASSERT_TRUE(inputs_->in_drive());
  LogCapture::instance().take();

  // Carried as a struct of the topic's kind, its fields would read as ignition on and a gear.
  send_wrong_kind("deviceState");
  send_wrong_kind("carState");
  inputs_->update();
  EXPECT_FALSE(inputs_->ignition_known());
  EXPECT_FALSE(inputs_->started());
  EXPECT_FALSE(inputs_->in_drive());
  const Logs l = LogCapture::instance().take();
  EXPECT_EQ(l, (Logs{"roadrecd: invalid carState message, read as absent: carries gpsLocation",
                     "roadrecd: invalid deviceState message, read as absent: carries gpsLocation"}));

  send_device(true);
  inputs_->update();
  EXPECT_TRUE(inputs_->started());
}

TEST_F(CarInputsTest, PositionIsShownOnlyWhileGpsIsAliveButGearAndIgnitionHold) {
  send_gps(true, 37.7749, -122.4194, 15.0f);
  send_gear(Gear::DRIVE);
  send_device(true);
  inputs_->update();
  ASSERT_TRUE(inputs_->gps().has_fix);
  // Eleven seconds later with nothing new: gpsLocation (1 Hz) is no longer alive.
  sm_->update_msgs(nanos_since_boot() + 11000000000ULL, {});
  EXPECT_FALSE(inputs_->gps().has_fix);
  EXPECT_TRUE(inputs_->in_drive());
  EXPECT_TRUE(inputs_->started());
}

TEST_F(CarInputsTest, SubMasterTellsWhichTopicFailedToDecode) {
  send_gear(Gear::DRIVE);
  inputs_->update();
  send_garbage("gpsLocation");
  send_device(true);
  EXPECT_ANY_THROW(sm_->update(0));
  EXPECT_FALSE(sm_->decode_error("gpsLocation").empty());
  EXPECT_TRUE(sm_->decode_error("deviceState").empty());
  EXPECT_TRUE(sm_->decode_error("carState").empty());
  EXPECT_TRUE(sm_->updated("deviceState"));
  // The next update starts afresh.
  sm_->update(0);
  EXPECT_TRUE(sm_->decode_error("gpsLocation").empty());
}

TEST(InvalidMessageLog, AtMostOncePerSecondPerTopic) {
  InvalidMessageLog log;
  EXPECT_TRUE(log.report("carState", "x", 10.0));
  EXPECT_FALSE(log.report("carState", "x", 10.5));
  EXPECT_TRUE(log.report("gpsLocation", "x", 10.5));
  EXPECT_FALSE(log.report("carState", "x", 10.999));
  EXPECT_TRUE(log.report("carState", "x", 11.0));
}

// The recorder on real messages: an invalid deviceState reads as not started, so a valid started
// one after it is a rising ignition, and a garbage carState stops nothing.
TEST_F(CarInputsTest, RecorderSeesIgnitionEdgeAfterInvalidDeviceState) {
  TestDir dir;
  ManualClock clock;
  EncoderJournal journal;
  FlagShutdownKey key;
  FootageCleaner cleaner(dir.path(), 0);
  Recorder rec(
      dir.path(), FrameGeometry{64, 32, 64, 64}, clock,
      [&](const std::string &d, int, int) { return std::make_unique<JournalEncoder>(journal, d); }, *inputs_, key,
      cleaner);
  uint8_t pixels[64 * 48] = {};
  auto processed_frame = [&] {
    clock.advance(0.05);
    rec.on_frame(pixels, pixels);
    clock.advance(0.05);
    return rec.on_frame(pixels, pixels);
  };
  rec.begin();
  send_device(true, false);
  ASSERT_TRUE(processed_frame());
  const std::string first = rec.state().trip_dir;
  clock.advance(1.0);
  send_device(true);
  ASSERT_TRUE(processed_frame());
  EXPECT_NE(rec.state().trip_dir, first);

  send_garbage("carState");
  EXPECT_TRUE(processed_frame());
  EXPECT_TRUE(rec.state().trip_open());
  EXPECT_EQ(journal.timestamps.size(), 3u);
}
