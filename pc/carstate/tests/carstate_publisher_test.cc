// The car-state publisher as a process, fed gpsLocation by the test: deviceState says started,
// carState's gear follows the GPS speed, and a GPS that falls silent parks the car.

#include <gtest/gtest.h>

#include "pc/tests/pc_test_support.h"
#include "pc/tests/topic_reader.h"
#include "strand/messaging/message_buffer.h"
#include "strand/messaging/socketmaster.h"

using namespace pc_test;

namespace {

using Gear = strand::CarState::GearShifter;

TEST(CarStatePublisherTest, GearFollowsGpsSpeedAndDeviceStateSaysStarted) {
  PcWorld world(RUNS_DIR);
  TopicReader device("deviceState"), car("carState");
  PubMaster gps({"gpsLocation"});
  auto publisher = world.start(
      "carstate", {CARSTATE_PUBLISHER, "--drive-after", "0.5", "--park-after", "1", "--fix-timeout", "1"});
  auto send_fix = [&](float speed) {
    MessageBuilder msg;
    auto g = msg.initEvent(true).initGpsLocation();
    g.setHasFix(true);
    g.setLatitude(37.7);
    g.setLongitude(-122.4);
    g.setSpeed(speed);
    gps.send("gpsLocation", msg);
  };
  auto gear_becomes = [&](Gear want, float speed_to_send) {
    return wait_until(
        [&] {
          if (speed_to_send >= 0) send_fix(speed_to_send);
          Gear latest = Gear::UNKNOWN;
          car.drain([&](strand::Event::Reader e) { latest = e.getCarState().getGearShifter(); });
          return latest == want;
        },
        20s, 20ms);
  };

  EXPECT_TRUE(device.until([](strand::Event::Reader e) { return e.getDeviceState().getStarted(); }, 20000))
      << publisher->output();
  EXPECT_TRUE(gear_becomes(Gear::PARK, -1)) << publisher->output();
  EXPECT_TRUE(gear_becomes(Gear::DRIVE, 10.0f)) << publisher->output();
  EXPECT_TRUE(gear_becomes(Gear::PARK, 0.0f)) << publisher->output();
  // Garbage on the topic is no fix, and costs the publisher nothing.
  static const char junk[] = "\xff\xff\xff\x7f not a message";
  EXPECT_TRUE(wait_until(
      [&] {
        gps.send("gpsLocation", (capnp::byte *)junk, sizeof(junk) - 1);
        return count_occurrences(publisher->output(), "carstate: gpsLocation does not decode") > 0;
      },
      20s, 20ms))
      << publisher->output();
  EXPECT_TRUE(gear_becomes(Gear::DRIVE, 10.0f)) << publisher->output();
  EXPECT_TRUE(publisher->running());
  EXPECT_EQ(count_occurrences(publisher->output(), "carstate: gpsLocation does not decode"), 1)
      << publisher->output();
  // The GPS falls silent: the fix times out, and a second later the car is parked.
  EXPECT_TRUE(gear_becomes(Gear::PARK, -1)) << publisher->output();
  EXPECT_EQ(count_occurrences(publisher->output(), "carstate: gear DRIVE"), 2) << publisher->output();
  EXPECT_EQ(publisher->stop(SIGTERM, 20000), 0) << publisher->output();
  if (HasFailure()) world.keep();
}

}  // namespace
