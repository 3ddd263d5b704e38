#pragma once

// The car's script for the simulator: timed ignition, gear, GPS fixes along a route, and a few
// faults to inject. One step per line, "<seconds> <command> [arguments]"; '#' starts a comment.
//
//   ignition on|off          deviceState.started
//   gear <name>|<0-65535>    carState.gearShifter: unknown park drive neutral reverse sport low
//                            brake eco manumatic, or the raw enum value
//   gps <lat> <lon> <speed>  a fix (degrees, degrees, m/s from 0 to 1000); between two
//                            consecutive fixes the position moves linearly, so a route is a
//                            list of fixes
//   gps none                 no fix from here on
//   valid|invalid <topic>    the topic's following messages are Events with this valid flag
//   garbage <topic>          the topic's following payloads are not Events at all, until the
//                            next valid|invalid step of the topic
//   end                      the scenario's length; afterwards the last state holds, so no
//                            step may follow it
//
// Topics are deviceState, carState and gpsLocation. Steps must be in time order. Numbers are
// plain decimals ("12", "-0.5", "1e3"); a raw gear is a whole number. Lines are at most 1000
// characters.

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

struct ScenarioStep {
  enum Kind { IGNITION, GEAR, GPS_FIX, GPS_NONE, VALID, GARBAGE, END };
  double t = 0;
  Kind kind = END;
  bool on = false;        // IGNITION, VALID
  uint16_t gear = 0;      // GEAR
  double lat = 0, lon = 0;
  float speed = 0;        // GPS_FIX
  std::string topic;      // VALID, GARBAGE
};

// What the publishers send at one moment.
struct CarSnapshot {
  bool started = false;
  uint16_t gear = 0;
  bool has_fix = false;
  double lat = 0, lon = 0;
  float speed = 0;
  bool device_valid = true, car_valid = true, gps_valid = true;
  bool device_garbage = false, car_garbage = false, gps_garbage = false;
};

class Scenario {
 public:
  // Parses a whole script; on a bad line returns false and says which line and why in `error`.
  bool parse(std::istream &in, std::string &error);
  // The same from a file (or a pipe); a directory or a file that can't be opened is an error.
  bool parse_file(const std::string &path, std::string &error);

  // The state at `t` seconds after the start.
  CarSnapshot at(double t) const;
  // The time of "end", or of the last step when there is none.
  double length() const;

  const std::vector<ScenarioStep> &steps() const { return steps_; }

 private:
  std::vector<ScenarioStep> steps_;
};

// Gear names as the car-state schema spells them, lower case.
bool parse_gear(const std::string &word, uint16_t &gear);
