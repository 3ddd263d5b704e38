// Messages written as text and encoded by the schema compiler (an encoder independent of
// our generated code), published raw from another process, read through SubMaster the way
// the recorder reads them.

#include <gtest/gtest.h>

#include <string>

#include "strand/messaging/socketmaster.h"
#include "strand/messaging/tests/msgq_test_util.h"
#include "tests/support/run_program.h"

namespace {

using Gear = strand::CarState::GearShifter;

std::string encode(const std::string &text) {
  RunOptions options;
  options.input = text;
  RunResult r = run_program(
      {CAPNP_TOOL, "encode", std::string("-I") + SCHEMA_DIR, std::string(SCHEMA_DIR) + "/log.capnp", "Event"},
      options);
  EXPECT_EQ(r.status, 0) << "capnp encode failed for " << text;
  EXPECT_FALSE(r.out.empty());
  return r.out;
}

struct Round {
  std::string car, device, gps;
};

// Publishes the three encoded payloads from a child process, which opens its publishers
// before the SubMaster is made (a later publisher would take the queues over).
class RawPublisher {
 public:
  explicit RawPublisher(const Round &round) {
    child_ = fork_child([this, round] {
      PubMaster pm({"carState", "deviceState", "gpsLocation"});
      ready_.notify();
      if (!go_.wait()) return 2;
      auto send = [&](const char *name, const std::string &bytes) {
        return pm.send(name, (capnp::byte *)bytes.data(), bytes.size()) == int(bytes.size());
      };
      if (!send("carState", round.car) || !send("deviceState", round.device) ||
          !send("gpsLocation", round.gps)) {
        return 3;
      }
      return 0;
    });
    EXPECT_TRUE(ready_.wait());
  }
  // Lets the child publish and waits for it to finish.
  int publish() {
    go_.notify();
    return wait_child(child_);
  }

 private:
  Signal ready_, go_;
  pid_t child_ = -1;
};

}  // namespace

TEST(SocketMasterInterop, ToolEncodedMessagesReadThroughSubMaster) {
  TestPrefix prefix;
  struct Case {
    const char *car, *device, *gps;
    Gear gear;
    bool car_valid, started, device_valid, has_fix;
    double lat, lon;
    float speed;
  } cases[] = {
      {"(logMonoTime = 1, carState = (gearShifter = drive, vEgo = 20))",
       "(logMonoTime = 2, deviceState = (started = true, cpuTempC = 55))",
       "(logMonoTime = 3, gpsLocation = (hasFix = true, latitude = 52.375, longitude = 4.875, speed = 31.5))",
       Gear::DRIVE, true, true, true, true, 52.375, 4.875, 31.5f},
      {"(carState = (gearShifter = reverse), valid = false)", "(deviceState = (started = false))",
       "(gpsLocation = (hasFix = false, latitude = 1, longitude = 2, speed = 3), valid = false)",
       Gear::REVERSE, false, false, true, false, 1, 2, 3},
      {"(carState = (gearShifter = manumatic))", "(deviceState = (started = true), valid = false)",
       "(gpsLocation = (hasFix = true, latitude = -45.5, longitude = 170.25, speed = 0.5))", Gear::MANUMATIC,
       true, true, false, true, -45.5, 170.25, 0.5f},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.car);
    Round round{encode(c.car), encode(c.device), encode(c.gps)};
    RawPublisher publisher(round);
    SubMaster sm({"carState", "deviceState", "gpsLocation"});
    ASSERT_EQ(publisher.publish(), 0);

    sm.update(0);
    ASSERT_TRUE(sm.updated("carState"));
    ASSERT_TRUE(sm.updated("deviceState"));
    ASSERT_TRUE(sm.updated("gpsLocation"));

    EXPECT_EQ(sm.valid("carState"), c.car_valid);
    EXPECT_EQ(sm["carState"].getCarState().getGearShifter(), c.gear);
    EXPECT_EQ(sm.valid("deviceState"), c.device_valid);
    EXPECT_EQ(sm["deviceState"].getDeviceState().getStarted(), c.started);
    auto gps = sm["gpsLocation"].getGpsLocation();
    EXPECT_EQ(gps.getHasFix(), c.has_fix);
    EXPECT_DOUBLE_EQ(gps.getLatitude(), c.lat);
    EXPECT_DOUBLE_EQ(gps.getLongitude(), c.lon);
    EXPECT_FLOAT_EQ(gps.getSpeed(), c.speed);
  }
}
