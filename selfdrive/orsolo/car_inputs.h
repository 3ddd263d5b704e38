#pragma once

// The car's inputs as the recorder reads them from the last message of each topic:
// ignition from deviceState, gear from carState, position from gpsLocation.

#include <iterator>
#include <map>
#include <string>

#include "selfdrive/orsolo/recorder_ports.h"

class SubMaster;

// Topics in subscription order.
constexpr const char *CAR_TOPICS[] = {"carState", "deviceState", "gpsLocation"};

// Says that a topic carried something that is not a readable Event, at most once a second
// per topic (boot clock), so a misbehaving publisher cannot flood the log.
class InvalidMessageLog {
 public:
  // Returns true when the report was logged.
  bool report(const std::string &topic, const char *what, double now);

 private:
  std::map<std::string, double> last_logged_;
};

// CarInputs over a SubMaster of the three topics. A payload that is not a valid Event (it
// throws out of the decoding or out of a field read) is treated as absent: the topic then reads
// as its defaults (not started, not in drive, no fix) until a readable message arrives, and
// recording goes on.
class SubMasterInputs : public CarInputs {
 public:
  explicit SubMasterInputs(SubMaster &sm) : sm_(sm) {}

  void update() override;
  bool started() override;
  bool in_drive() override;
  GpsFix gps() override;

 private:
  void report(const char *topic, const char *what);

  SubMaster &sm_;
  InvalidMessageLog log_;
  // Topics (in CAR_TOPICS order) whose last payload did not decode.
  bool faulty_[std::size(CAR_TOPICS)] = {};
};

// The gears that count as driving: DRIVE, SPORT, LOW and MANUMATIC.
bool is_driving_gear(int gear);
