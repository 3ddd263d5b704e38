#pragma once

// The car's inputs as the recorder reads them from the last message of each topic:
// ignition from deviceState, gear from carState, position from gpsLocation.

#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "selfdrive/orsolo/recorder_ports.h"

class SubMaster;

// Topics in subscription order.
constexpr const char *CAR_TOPICS[] = {"carState", "deviceState", "gpsLocation"};
inline std::vector<const char *> car_topic_list() { return {std::begin(CAR_TOPICS), std::end(CAR_TOPICS)}; }

// Says that a topic carried something that is not a readable Event, at most once a second
// per topic (boot clock), so a misbehaving publisher cannot flood the log.
class InvalidMessageLog {
 public:
  // Returns true when the report was logged.
  bool report(const std::string &topic, const char *what, double now);

 private:
  std::map<std::string, double> last_logged_;
};

// CarInputs over a SubMaster of the three topics. A payload that is not a valid Event, or an
// Event carrying another kind of message than its topic's, is treated as absent: the topic
// then reads as if nothing had come (not started, not in drive, no fix) until a readable
// message arrives, and recording goes on. Ignition and gear keep their last value when their
// publisher stops; a position is shown only while gpsLocation is alive.
class SubMasterInputs : public CarInputs {
 public:
  explicit SubMasterInputs(SubMaster &sm) : sm_(sm) {}

  void update() override;
  bool started() override;
  bool ignition_known() override;
  bool in_drive() override;
  GpsFix gps() override;

 private:
  // What the last message of a topic was.
  enum class Reading { NOTHING, READABLE, ABSENT };

  void report(const char *topic, const char *what);
  // The topic's last message is one that may be read.
  bool readable(size_t topic) const { return reading_[topic] == Reading::READABLE; }

  SubMaster &sm_;
  InvalidMessageLog log_;
  Reading reading_[std::size(CAR_TOPICS)] = {};  // in CAR_TOPICS order
};

// The gears that count as driving: DRIVE, SPORT, LOW and MANUMATIC.
bool is_driving_gear(int gear);
