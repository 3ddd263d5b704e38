#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "tools/simulator/scenario.h"

namespace {

Scenario parse_ok(const std::string &text) {
  Scenario s;
  std::string error;
  std::istringstream in(text);
  EXPECT_TRUE(s.parse(in, error)) << error;
  return s;
}

std::string parse_error(const std::string &text) {
  Scenario s;
  std::string error;
  std::istringstream in(text);
  EXPECT_FALSE(s.parse(in, error)) << text;
  EXPECT_TRUE(s.steps().empty());
  return error;
}

}  // namespace

TEST(Scenario, StateFollowsTheSteps) {
  Scenario s = parse_ok(
      "# comment line\n"
      "0 ignition off\n"
      "0 gear park   # trailing comment\n"
      "\n"
      "2 ignition on\n"
      "3 gear drive\n"
      "4 gear 9\n"
      "5 invalid carState\n"
      "6 valid carState\n"
      "6.5 garbage carState\n"
      "7 gear reverse\n"
      "8 invalid carState\n"
      "10 end\n");
  EXPECT_FALSE(s.at(0).started);
  EXPECT_EQ(s.at(1.9).gear, 1);
  EXPECT_TRUE(s.at(2).started);
  EXPECT_EQ(s.at(3).gear, 2);
  EXPECT_EQ(s.at(4.5).gear, 9);
  EXPECT_FALSE(s.at(5.5).car_valid);
  EXPECT_TRUE(s.at(5.5).device_valid);
  EXPECT_TRUE(s.at(6).car_valid);
  EXPECT_FALSE(s.at(6).car_garbage);
  EXPECT_TRUE(s.at(7).car_garbage);
  EXPECT_FALSE(s.at(7).device_garbage);
  // A valid|invalid step ends the garbage.
  EXPECT_FALSE(s.at(8).car_garbage);
  EXPECT_FALSE(s.at(8).car_valid);
  EXPECT_EQ(s.at(100).gear, 4);  // the last state holds after the end
  EXPECT_DOUBLE_EQ(s.length(), 10);
}

TEST(Scenario, GpsMovesAlongTheRouteAndDropsTheFix) {
  Scenario s = parse_ok(
      "0 gps none\n"
      "10 gps 10.0 -20.0 5\n"
      "20 gps 12.0 -24.0 7\n"
      "30 gps none\n"
      "40 gps -33.5 151.25 1.5\n");
  EXPECT_FALSE(s.at(5).has_fix);
  CarSnapshot mid = s.at(15);
  EXPECT_TRUE(mid.has_fix);
  EXPECT_DOUBLE_EQ(mid.lat, 11.0);
  EXPECT_DOUBLE_EQ(mid.lon, -22.0);
  EXPECT_FLOAT_EQ(mid.speed, 5);
  // After the last fix before "none", the position holds.
  EXPECT_DOUBLE_EQ(s.at(25).lat, 12.0);
  EXPECT_FALSE(s.at(30).has_fix);
  EXPECT_DOUBLE_EQ(s.at(45).lat, -33.5);
  EXPECT_DOUBLE_EQ(s.at(45).lon, 151.25);
  EXPECT_DOUBLE_EQ(s.length(), 40);
}

TEST(Scenario, BadLinesAreNamed) {
  const std::pair<std::string, std::string> cases[] = {
      {"x ignition on\n", "line 1: bad time 'x'"},
      {"-1 ignition on\n", "line 1: bad time '-1'"},
      {"0 ignition on\n\n1\n", "line 3: missing command"},
      {"0 ignition maybe\n", "line 1: cannot read 'ignition' with 1 argument(s)"},
      {"0 gear overdrive\n", "line 1: unknown gear 'overdrive'"},
      {"0 gear 70000\n", "line 1: unknown gear '70000'"},
      {"0 gps 95 0 1\n", "line 1: gps needs <lat> <lon> <speed> or none"},
      {"0 gps 1 2\n", "line 1: cannot read 'gps' with 2 argument(s)"},
      {"0 garbage radarState\n", "line 1: unknown topic 'radarState'"},
      {"5 end\n4 gear drive\n", "line 2: steps go back in time"},
      {"0 fly\n", "line 1: cannot read 'fly' with 0 argument(s)"},
      // Numbers that strtod takes but no one writes in a scenario.
      {"0 gps 1 2 1e300\n", "line 1: gps speed '1e300' is not between 0 and 1000 m/s"},
      {"0 gps 1 2 -3\n", "line 1: gps speed '-3' is not between 0 and 1000 m/s"},
      {"0x10 ignition on\n", "line 1: bad time '0x10'"},
      {"inf ignition on\n", "line 1: bad time 'inf'"},
      {"0 gps nan 2 3\n", "line 1: gps needs <lat> <lon> <speed> or none"},
      {"0 gear 1e3\n", "line 1: unknown gear '1e3'"},
      {"0 gear 2.0\n", "line 1: unknown gear '2.0'"},
      {std::string("0 ignition on\n5\0 gear drive\n", 25), "line 2: bad time '5?'"},
      // Nothing follows the end: it would never be reached.
      {"10 end\n20 ignition on\n", "line 2: step after the end"},
      {"10 end\n10 end\n", "line 2: step after the end"},
      {"0 ignition on\n" + std::string(2000, '#') + "\n", "line 2: longer than 1000 characters"},
  };
  for (auto &[text, error] : cases) EXPECT_EQ(parse_error(text), error) << text;
}

// A directory opens like a file and reads as empty: it must not run as a scenario without steps.
TEST(Scenario, FileThatIsNotAScenarioIsAnError) {
  const std::pair<std::string, std::string> cases[] = {
      {"/", "is a directory, not a scenario file"},
      {"/nonexistent/scenario.scn", "cannot open: No such file or directory"},
  };
  for (auto &[path, expected] : cases) {
    Scenario s;
    std::string error;
    EXPECT_FALSE(s.parse_file(path, error)) << path;
    EXPECT_EQ(error, expected) << path;
  }
}

TEST(Scenario, DefaultScenarioParses) {
  Scenario s;
  std::string error;
  ASSERT_TRUE(s.parse_file(DEFAULT_SCENARIO, error)) << error;
  EXPECT_GE(s.length(), 55);
  EXPECT_LE(s.length(), 70);
  // Ignition on, drive, park.
  EXPECT_FALSE(s.at(0).started);
  EXPECT_TRUE(s.at(30).started);
  EXPECT_EQ(s.at(30).gear, 2);
  EXPECT_EQ(s.at(s.length()).gear, 1);
}
