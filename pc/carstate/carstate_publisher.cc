// roadrec-carstate: the car's state for a PC that has no car bus. Publishes deviceState with
// `started` true while it runs (the PC runs when the car does) and carState with a gear derived
// from GPS speed (see gear_estimator.h), at the rates of the service table, so that the
// recorder's trips and its 10-minute idle timer behave as in a car that reports its gear.

#include <kj/exception.h>

#include <cstdio>

#include "common/exit_handler.h"
#include "common/swaglog.h"
#include "common/timing.h"
#include "pc/carstate/gear_estimator.h"
#include "pc/common/command_line.h"
#include "strand/messaging/message_buffer.h"
#include "strand/messaging/socketmaster.h"
#include "strand/services/services.h"

static ExitHandler do_exit;

namespace {

const char *const USAGE =
    "usage: roadrec-carstate [--drive-after S] [--park-after S] [--moving-speed M] [--stopped-speed M]\n"
    "                        [--fix-timeout S]\n"
    "  --drive-after S     seconds of moving before the gear is DRIVE (default 5)\n"
    "  --park-after S      seconds of standing still before the gear is PARK (default 60)\n"
    "  --moving-speed M    metres per second that count as moving (default 2.0)\n"
    "  --stopped-speed M   metres per second below which the car stands still (default 1.0)\n"
    "  --fix-timeout S     seconds after the last gpsLocation that the fix counts as lost (default 3)\n";

struct Options {
  GearThresholds gear;
  double fix_timeout = 3.0;
};

Options parse_options(int argc, char *argv[]) {
  Options o;
  CommandLine cl(argc, argv, USAGE);
  std::string name;
  while (cl.next(name)) {
    if (name == "--drive-after")
      o.gear.drive_after = cl.number(0, 3600);
    else if (name == "--park-after")
      o.gear.park_after = cl.number(0, 86400);
    else if (name == "--moving-speed")
      o.gear.moving_speed = cl.number(0, 100);
    else if (name == "--stopped-speed")
      o.gear.stopped_speed = cl.number(0, 100);
    else if (name == "--fix-timeout")
      o.fix_timeout = cl.number(0.1, 3600);
    else
      cl.fail("unknown option " + name);
  }
  if (o.gear.stopped_speed > o.gear.moving_speed) cl.fail("--stopped-speed must not exceed --moving-speed");
  return o;
}

uint64_t period_ns(const char *topic) {
  return 1000000000ULL / services.at(topic).frequency;
}

}  // namespace

int main(int argc, char *argv[]) {
  setvbuf(stdout, nullptr, _IOLBF, 0);  // log lines reach a pipe or the journal as they are printed
  const Options opt = parse_options(argc, argv);
  SubMaster sm({"gpsLocation"}, {}, nullptr, {});
  PubMaster pm({"deviceState", "carState"});
  GearEstimator gear(opt.gear);
  LOGW("carstate: started; DRIVE after %.1f s at >= %.1f m/s, PARK after %.1f s below %.1f m/s",
       opt.gear.drive_after, opt.gear.moving_speed, opt.gear.park_after, opt.gear.stopped_speed);

  const uint64_t start = nanos_since_boot();
  const uint64_t device_period = period_ns("deviceState"), car_period = period_ns("carState");
  uint64_t next_device = start, next_car = start, last_fix_ns = 0;
  double speed = 0;
  bool undecodable_logged = false;
  while (!do_exit) {
    const uint64_t now = nanos_since_boot();
    try {
      sm.update(5);
      if (sm.updated("gpsLocation")) {
        const auto location = sm["gpsLocation"].getGpsLocation();
        if (sm.valid("gpsLocation") && location.getHasFix()) {
          last_fix_ns = now;
          speed = location.getSpeed();
        } else {
          last_fix_ns = 0;
        }
        undecodable_logged = false;
      }
    } catch (const kj::Exception &e) {
      // Another publisher's garbage on the topic: no fix, and one line per episode.
      if (!undecodable_logged)
        LOGE("carstate: gpsLocation does not decode, read as no fix: %s", e.getDescription().cStr());
      undecodable_logged = true;
      last_fix_ns = 0;
    }
    const bool has_fix = last_fix_ns != 0 && now - last_fix_ns < (uint64_t)(opt.fix_timeout * 1e9);
    const bool was_drive = gear.in_drive();
    if (gear.update(now * 1e-9, has_fix, speed) != was_drive) {
      LOGW("carstate: gear %s", gear.in_drive() ? "DRIVE" : "PARK");
    }

    if (now >= next_device) {
      next_device = now + device_period;
      MessageBuilder msg;
      auto device = msg.initEvent(true).initDeviceState();
      device.setStarted(true);
      device.setStartedMonoTime(start);
      pm.send("deviceState", msg);
    }
    if (now >= next_car) {
      next_car = now + car_period;
      MessageBuilder msg;
      msg.initEvent(true).initCarState().setGearShifter(
          gear.in_drive() ? strand::CarState::GearShifter::DRIVE : strand::CarState::GearShifter::PARK);
      pm.send("carState", msg);
    }
  }
  return 0;
}
