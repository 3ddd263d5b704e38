#include "selfdrive/orsolo/car_inputs.h"

#include <capnp/any.h>
#include <kj/exception.h>

#include <exception>
#include <vector>

#include "common/swaglog.h"
#include "common/timing.h"
#include "strand/messaging/socketmaster.h"

namespace {

// What went wrong, for the log line.
std::string describe_current_exception() {
  try {
    throw;
  } catch (const kj::Exception &e) {
    return e.getDescription().cStr();
  } catch (const std::exception &e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

// An empty reader (nothing received, or a payload that did not decode) has no data section;
// every Event that arrived has one. Reading its size follows no pointer and cannot throw.
bool holds_message(const strand::Event::Reader &event) {
  return capnp::AnyStruct::Reader(event).getDataSection().size() > 0;
}

}  // namespace

bool InvalidMessageLog::report(const std::string &topic, const char *what, double now) {
  auto it = last_logged_.find(topic);
  if (it != last_logged_.end() && now - it->second < 1.0) return false;
  last_logged_[topic] = now;
  LOGW("roadrecd: invalid %s message, read as absent: %s", topic.c_str(), what);
  return true;
}

bool is_driving_gear(int gear) {
  using G = strand::CarState::GearShifter;
  return gear == (int)G::DRIVE || gear == (int)G::SPORT || gear == (int)G::LOW || gear == (int)G::MANUMATIC;
}

void SubMasterInputs::report(const char *topic, const char *what) { log_.report(topic, what, nanos_since_boot() / 1e9); }

void SubMasterInputs::update() {
  // A topic whose payload does not decode is left with an empty event (its defaults), and the
  // error reaches us only after every other topic has been taken in. The topic is the one that
  // held a message before, got none in this update and holds none now; when it held none
  // before either, it is one already known to be sending garbage.
  bool had_message[std::size(CAR_TOPICS)];
  for (size_t i = 0; i < std::size(CAR_TOPICS); i++) had_message[i] = holds_message(sm_[CAR_TOPICS[i]]);
  try {
    sm_.update(0);
  } catch (...) {
    const std::string what = describe_current_exception();
    std::vector<size_t> lost, known_bad;
    for (size_t i = 0; i < std::size(CAR_TOPICS); i++) {
      if (sm_.updated(CAR_TOPICS[i]) || holds_message(sm_[CAR_TOPICS[i]])) continue;
      if (had_message[i]) lost.push_back(i);
      if (faulty_[i]) known_bad.push_back(i);
    }
    const std::vector<size_t> &blamed = !lost.empty() ? lost : known_bad;
    for (size_t i : blamed) {
      faulty_[i] = true;
      report(CAR_TOPICS[i], what.c_str());
    }
    if (blamed.empty()) report("(a topic not yet received)", what.c_str());
  }
  for (size_t i = 0; i < std::size(CAR_TOPICS); i++) {
    if (holds_message(sm_[CAR_TOPICS[i]])) faulty_[i] = false;
  }
}

bool SubMasterInputs::started() {
  if (!sm_.valid("deviceState")) return false;
  try {
    return sm_["deviceState"].getDeviceState().getStarted();
  } catch (...) {
    report("deviceState", describe_current_exception().c_str());
    return false;
  }
}

bool SubMasterInputs::in_drive() {
  if (!sm_.valid("carState")) return false;
  try {
    return is_driving_gear((int)sm_["carState"].getCarState().getGearShifter());
  } catch (...) {
    report("carState", describe_current_exception().c_str());
    return false;
  }
}

GpsFix SubMasterInputs::gps() {
  GpsFix fix;
  if (!sm_.valid("gpsLocation")) return fix;
  try {
    auto g = sm_["gpsLocation"].getGpsLocation();
    if (!g.getHasFix()) return fix;
    fix.latitude = g.getLatitude();
    fix.longitude = g.getLongitude();
    fix.speed = g.getSpeed();
    fix.has_fix = true;
  } catch (...) {
    report("gpsLocation", describe_current_exception().c_str());
    fix = GpsFix{};
  }
  return fix;
}
