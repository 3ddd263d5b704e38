#include "strand/services/services.h"

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>

namespace {

std::set<std::string> names_where(bool (*pred)(const service &)) {
  std::set<std::string> out;
  for (const auto &[name, s] : services) {
    if (pred(s)) out.insert(name);
  }
  return out;
}

}  // namespace

TEST(Services, EightyTopicsOnPortsFrom8001To8081Skipping8022) {
  // A row listed twice would collapse into one entry of the map: the count tells.
  ASSERT_EQ(services.size(), 80u);
  std::set<int> ports;
  for (const auto &[name, s] : services) ports.insert(s.port);
  ASSERT_EQ(ports.size(), 80u) << "two topics share a port";
  EXPECT_EQ(*ports.begin(), 8001);
  EXPECT_EQ(*ports.rbegin(), 8081);
  EXPECT_EQ(ports.count(8022), 0u);
  EXPECT_EQ(get_port("liveCalibration"), 8021);
  EXPECT_EQ(get_port("liveTorqueParameters"), 8023);
  EXPECT_EQ(get_port("gyroscope"), 8001);
  EXPECT_EQ(get_port("customReservedRawData2"), 8081);
}

TEST(Services, GivenRowsInFull) {
  struct Row {
    const char *name;
    int port;
    bool should_log;
    int frequency;
    int decimation;
  };
  const Row rows[] = {
      {"gyroscope", 8001, true, 104, 104},     {"temperatureSensor", 8007, true, 2, 200},
      {"gpsNMEA", 8009, true, 9, -1},          {"deviceState", 8010, true, 2, 1},
      {"can", 8011, true, 100, 1223},          {"controlsState", 8012, true, 100, 10},
      {"roadEncodeIdx", 8016, false, 20, 1},   {"sendcan", 8018, true, 100, 139},
      {"logMessage", 8019, true, 0, -1},       {"errorLogMessage", 8020, true, 0, 1},
      {"liveCalibration", 8021, true, 4, 4},   {"liveTorqueParameters", 8023, true, 4, 1},
      {"carState", 8025, true, 100, 10},       {"gpsLocation", 8031, true, 1, 1},
      {"modelV2", 8050, true, 20, 40},         {"customReservedRawData2", 8081, true, 0, -1},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.name);
    const service &s = services.at(r.name);
    EXPECT_EQ(s.port, r.port);
    EXPECT_EQ(s.should_log, r.should_log);
    EXPECT_EQ(s.frequency, r.frequency);
    EXPECT_EQ(s.decimation, r.decimation);
  }
}

TEST(Services, OnlyEncoderTopicsAreNotLogged) {
  const std::set<std::string> expected = {
      "roadEncodeIdx",           "driverEncodeIdx",           "wideRoadEncodeIdx",
      "qRoadEncodeIdx",          "roadEncodeData",            "driverEncodeData",
      "wideRoadEncodeData",      "qRoadEncodeData",           "livestreamWideRoadEncodeIdx",
      "livestreamRoadEncodeIdx", "livestreamDriverEncodeIdx", "livestreamWideRoadEncodeData",
      "livestreamRoadEncodeData", "livestreamDriverEncodeData"};
  EXPECT_EQ(names_where([](const service &s) { return !s.should_log; }), expected);
}

TEST(Services, FrequencyAndDecimationSets) {
  const std::set<std::string> no_rate = {
      "logMessage", "errorLogMessage", "androidLog", "procLog",     "clocks",       "thumbnail",
      "carParams",  "uploaderState",   "navRoute",   "navThumbnail", "userFlag",     "uiDebug",
      "testJoystick", "customReservedRawData0", "customReservedRawData1", "customReservedRawData2"};
  EXPECT_EQ(names_where([](const service &s) { return s.frequency == 0; }), no_rate);

  const std::set<std::string> undecimated = {
      "gpsNMEA", "liveTracks", "logMessage", "androidLog", "ubloxGnss", "qcomGnss", "ubloxRaw",
      "navRoute", "navThumbnail", "qRoadEncodeIdx", "testJoystick", "roadEncodeData",
      "driverEncodeData", "wideRoadEncodeData", "qRoadEncodeData", "livestreamWideRoadEncodeIdx",
      "livestreamRoadEncodeIdx", "livestreamDriverEncodeIdx", "livestreamWideRoadEncodeData",
      "livestreamRoadEncodeData", "livestreamDriverEncodeData", "customReservedRawData0",
      "customReservedRawData1", "customReservedRawData2"};
  EXPECT_EQ(names_where([](const service &s) { return s.decimation == -1; }), undecimated);

  for (const auto &[name, s] : services) {
    EXPECT_GE(s.frequency, 0) << name;
    EXPECT_TRUE(s.decimation > 0 || s.decimation == -1) << name;
  }
}

TEST(Services, LookupIsExactAndOrdered) {
  EXPECT_TRUE(service_exists("carState"));
  EXPECT_FALSE(service_exists("CarState"));
  EXPECT_FALSE(service_exists(""));
  EXPECT_THROW(get_port("CarState"), std::out_of_range);
  EXPECT_EQ(services.begin()->first, "accelerometer");
  EXPECT_EQ(services.rbegin()->first, "wideRoadEncodeIdx");
}
