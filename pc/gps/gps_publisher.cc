// roadrec-gps: publishes gpsLocation from gpsd, the GPS service of Linux PCs, as each position
// report arrives. Without a fix (or without reports: gpsd gone, no receiver) it publishes
// hasFix false about once a second, so the recorder never shows a stale position. Survives
// gpsd restarts: the outage is logged once and the connection retried with back-off.

#include <gps.h>

#include <cerrno>
#include <cstring>
#include <cstdio>
#include <string>

#include "common/exit_handler.h"
#include "common/swaglog.h"
#include "common/timing.h"
#include "pc/common/command_line.h"
#include "pc/common/retry.h"
#include "pc/gps/gps_location.h"
#include "strand/messaging/message_buffer.h"
#include "strand/messaging/socketmaster.h"

static ExitHandler do_exit;

namespace {

const char *const USAGE =
    "usage: roadrec-gps [--gps HOST[:PORT]] [--no-fix-after S]\n"
    "  --gps HOST[:PORT]   gpsd to read (default localhost:2947)\n"
    "  --no-fix-after S    seconds without a report after which 'no fix' is published (default 2)\n";

struct Options {
  std::string host = "localhost";
  std::string port = DEFAULT_GPSD_PORT;
  double no_fix_after = 2.0;
};

Options parse_options(int argc, char *argv[]) {
  Options o;
  CommandLine cl(argc, argv, USAGE);
  std::string name;
  while (cl.next(name)) {
    if (name == "--gps") {
      const std::string where = cl.text();
      // "host", "host:port" or "[v6 address]:port"
      const size_t colon = where.rfind(':');
      const bool bracketed = !where.empty() && where[0] == '[';
      if (colon != std::string::npos && (bracketed ? where[colon - 1] == ']' : where.find(':') == colon)) {
        o.host = bracketed ? where.substr(1, colon - 2) : where.substr(0, colon);
        o.port = where.substr(colon + 1);
      } else {
        o.host = bracketed ? where.substr(1, where.size() - 2) : where;
      }
      if (o.host.empty() || o.port.empty() || o.port.find_first_not_of("0123456789") != std::string::npos) {
        cl.fail("--gps wants HOST[:PORT], not '" + where + "'");
      }
    } else if (name == "--no-fix-after") {
      o.no_fix_after = cl.number(0.1, 3600);
    } else {
      cl.fail("unknown option " + name);
    }
  }
  return o;
}

class GpsPublisher {
 public:
  explicit GpsPublisher(const Options &opt)
      : opt_(opt), pm_({"gpsLocation"}), where_(opt.host + ":" + opt.port) {}

  void run() {
    Backoff backoff(0.5, 5.0);
    while (!do_exit) {
      gps_data_t data = {};
      if (gps_open(opt_.host.c_str(), opt_.port.c_str(), &data) != 0) {
        report_outage("cannot reach gpsd at " + where_ + ": " + gps_errstr(errno) + "; retrying");
        wait_publishing_no_fix(backoff.next());
        continue;
      }
      gps_stream(&data, WATCH_ENABLE | WATCH_JSON, nullptr);
      LOGW("gps: connected to gpsd at %s", where_.c_str());
      if (read_reports(data)) backoff.reset();
      gps_close(&data);
      if (!do_exit) wait_publishing_no_fix(backoff.next());
    }
  }

 private:
  // Reads reports until gpsd goes away; true when any came.
  bool read_reports(gps_data_t &data) {
    bool any = false;
    while (!do_exit) {
      if (gps_waiting(&data, 200000)) {
        data.set = 0;
        errno = 0;
        if (gps_read(&data, nullptr, 0) == -1) {
          report_outage("lost gpsd at " + where_ + (errno ? std::string(": ") + strerror(errno) : "") +
                        "; retrying");
          return any;
        }
        if (data.set & MODE_SET) {
          publish(&data);
          any = true;
          if (outage_) LOGW("gps: gpsd at %s back", where_.c_str());
          outage_ = false;
        }
      }
      publish_no_fix_if_silent();
    }
    return any;
  }

  // A position report, or "no fix" when `data` is null.
  void publish(const gps_data_t *data) {
    MessageBuilder msg;
    auto location = msg.initEvent(true).initGpsLocation();
    const bool fix = data ? fill_gps_location(data->fix, data->satellites_used, location) : false;
    if (!data) location.setHasFix(false);
    pm_.send("gpsLocation", msg);
    last_publish_ns_ = nanos_since_boot();
    if (fix != had_fix_) LOGW("gps: %s", fix ? "fix" : "no fix");
    had_fix_ = fix;
  }

  void publish_no_fix_if_silent() {
    if (nanos_since_boot() - last_publish_ns_ >= (uint64_t)(opt_.no_fix_after * 1e9)) publish(nullptr);
  }

  void wait_publishing_no_fix(double seconds) {
    const uint64_t end = nanos_since_boot() + (uint64_t)(seconds * 1e9);
    while (!do_exit && nanos_since_boot() < end) {
      publish_no_fix_if_silent();
      sleep_unless_exit(do_exit, 0.1);
    }
  }

  // An outage is logged once, when it starts; retries only at debug level.
  void report_outage(const std::string &what) {
    if (!outage_)
      LOGE("gps: %s", what.c_str());
    else
      LOGD("gps: %s", what.c_str());
    outage_ = true;
  }

  const Options &opt_;
  PubMaster pm_;
  std::string where_;
  bool outage_ = false;
  bool had_fix_ = false;
  uint64_t last_publish_ns_ = 0;
};

}  // namespace

int main(int argc, char *argv[]) {
  setvbuf(stdout, nullptr, _IOLBF, 0);  // log lines reach a pipe or the journal as they are printed
  const Options opt = parse_options(argc, argv);
  GpsPublisher publisher(opt);
  publisher.run();
  return 0;
}
