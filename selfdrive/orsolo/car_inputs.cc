#include "selfdrive/orsolo/car_inputs.h"

#include <kj/exception.h>

#include <exception>

#include "common/swaglog.h"
#include "common/timing.h"
#include "strand/messaging/socketmaster.h"

namespace {

enum Topic : size_t { CAR_STATE, DEVICE_STATE, GPS_LOCATION };

// The Event member each topic must carry, in CAR_TOPICS order.
constexpr strand::Event::Which TOPIC_MEMBER[] = {strand::Event::CAR_STATE, strand::Event::DEVICE_STATE,
                                                 strand::Event::GPS_LOCATION};
static_assert(std::size(TOPIC_MEMBER) == std::size(CAR_TOPICS));

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

const char *member_name(strand::Event::Which which) {
  for (size_t i = 0; i < std::size(TOPIC_MEMBER); i++) {
    if (TOPIC_MEMBER[i] == which) return CAR_TOPICS[i];
  }
  return "another kind";
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
  try {
    sm_.update(0);
  } catch (...) {
    // The SubMaster has taken in every topic before throwing and says which ones failed.
  }
  for (size_t i = 0; i < std::size(CAR_TOPICS); i++) {
    const char *topic = CAR_TOPICS[i];
    const std::string &error = sm_.decode_error(topic);
    if (!error.empty()) {
      reading_[i] = Reading::ABSENT;
      report(topic, error.c_str());
    } else if (sm_.updated(topic)) {
      // The discriminant lies in the data section: reading it follows no pointer, cannot throw.
      const strand::Event::Which which = sm_[topic].which();
      if (which == TOPIC_MEMBER[i]) {
        reading_[i] = Reading::READABLE;
      } else {
        reading_[i] = Reading::ABSENT;
        report(topic, (std::string("carries ") + member_name(which)).c_str());
      }
    }
  }
}

bool SubMasterInputs::ignition_known() { return readable(DEVICE_STATE); }

bool SubMasterInputs::started() {
  if (!readable(DEVICE_STATE) || !sm_.valid("deviceState")) return false;
  try {
    return sm_["deviceState"].getDeviceState().getStarted();
  } catch (...) {
    report("deviceState", describe_current_exception().c_str());
    return false;
  }
}

bool SubMasterInputs::in_drive() {
  if (!readable(CAR_STATE) || !sm_.valid("carState")) return false;
  try {
    return is_driving_gear((int)sm_["carState"].getCarState().getGearShifter());
  } catch (...) {
    report("carState", describe_current_exception().c_str());
    return false;
  }
}

GpsFix SubMasterInputs::gps() {
  GpsFix fix;
  // A publisher that went silent must not leave its last position on every later subtitle.
  if (!readable(GPS_LOCATION) || !sm_.valid("gpsLocation") || !sm_.alive("gpsLocation")) return fix;
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
