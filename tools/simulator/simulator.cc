// Simulator of the device's camera daemon and car daemons, for development, tests and the demo.
// Serves the road stream of "imagerd" over vision IPC with a moving synthetic picture, and
// publishes deviceState, carState and gpsLocation as a scenario file says.
//
// Usage: simulator --help. Ends on SIGINT or SIGTERM; prints "simulator: sent N frames" on exit.
// A bad command line or scenario ends it with status 2 and a message naming the option or line.

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/exit_handler.h"
#include "common/timing.h"
#include "strand/messaging/message_buffer.h"
#include "strand/messaging/socketmaster.h"
#include "strand/visionipc/visionipc_server.h"
#include "tools/simulator/frame_painter.h"
#include "tools/simulator/scenario.h"

static ExitHandler do_exit;

namespace {

struct Options {
  std::string scenario;
  int width = 1928;
  int height = 1208;
  double fps = 20;
  int buffers = 8;
  long long frames = -1;
  double start_delay = 0;
  double duration = -1;
  bool exit_at_end = false;
};

const char USAGE[] =
    "usage: simulator [--scenario FILE] [--width W] [--height H] [--fps F] [--buffers N]\n"
    "                 [--frames N] [--start-delay S] [--duration S] [--exit-at-end]\n";

const char HELP[] =
    "Stands in for the device's camera daemon and car daemons: serves the road stream of \"imagerd\"\n"
    "(a moving synthetic NV12 picture) over vision IPC and publishes deviceState, carState and\n"
    "gpsLocation as a scenario file says. Ends on SIGINT or SIGTERM and prints the frames it sent.\n"
    "\n"
    "  --scenario FILE   the car's script (format: tools/simulator/scenario.h); none: ignition off,\n"
    "                    gear unknown, no GPS fix\n"
    "  --width W, --height H   picture size, even, 2 to 8192 (default 1928x1208)\n"
    "  --fps F           frames per second, above 0 and at most 1000 (default 20)\n"
    "  --buffers N       shared frame buffers, 1 to 127 (default 8)\n"
    "  --frames N        stop sending frames after N (the car messages go on)\n"
    "  --start-delay S   serve the stream but send the first frame only after S seconds\n"
    "  --duration S      exit after S seconds\n"
    "  --exit-at-end     exit when the scenario ends\n"
    "  -h, --help        this text\n";

[[noreturn]] void usage(const std::string &why) {
  fprintf(stderr, "simulator: %s\n%s", why.c_str(), USAGE);
  exit(2);
}

// The option's value as a whole number in [min, max]; anything else ends the program.
long long whole_number(const std::string &option, const char *text, long long min, long long max) {
  errno = 0;
  char *end = nullptr;
  const long long v = strtoll(text, &end, 10);
  if (*text == '\0' || *end != '\0' || errno != 0 || v < min || v > max) {
    const std::string range = max == LLONG_MAX ? std::to_string(min) + " or more"
                                               : "from " + std::to_string(min) + " to " + std::to_string(max);
    usage(option + " must be a whole number " + range + ", not '" + text + "'");
  }
  return v;
}

// The option's value as a decimal number in [min, max] (above min when min is excluded).
double decimal_number(const std::string &option, const char *text, double min, double max, bool min_excluded) {
  char *end = nullptr;
  const double v = strtod(text, &end);
  const bool in_range = std::isfinite(v) && (min_excluded ? v > min : v >= min) && v <= max;
  if (*text == '\0' || *end != '\0' || !in_range) {
    char range[96];
    if (min_excluded) {
      snprintf(range, sizeof(range), "above %.10g and at most %.10g", min, max);
    } else {
      snprintf(range, sizeof(range), "from %.10g to %.10g", min, max);
    }
    usage(option + " must be a number " + range + ", not '" + text + "'");
  }
  return v;
}

Options parse_options(int argc, char *argv[]) {
  Options o;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    auto value = [&]() -> const char * {
      if (i + 1 >= argc) usage("missing value for " + a);
      return argv[++i];
    };
    if (a == "-h" || a == "--help") {
      printf("%s%s", USAGE, HELP);
      exit(0);
    } else if (a == "--scenario") {
      o.scenario = value();
    } else if (a == "--width") {
      o.width = (int)whole_number(a, value(), 2, 8192);
    } else if (a == "--height") {
      o.height = (int)whole_number(a, value(), 2, 8192);
    } else if (a == "--fps") {
      o.fps = decimal_number(a, value(), 0, 1000, true);
    } else if (a == "--buffers") {
      o.buffers = (int)whole_number(a, value(), 1, 127);
    } else if (a == "--frames") {
      o.frames = whole_number(a, value(), 0, LLONG_MAX);
    } else if (a == "--start-delay") {
      o.start_delay = decimal_number(a, value(), 0, 1e9, false);
    } else if (a == "--duration") {
      o.duration = decimal_number(a, value(), 0, 1e9, false);
    } else if (a == "--exit-at-end") {
      o.exit_at_end = true;
    } else {
      usage("unknown option " + a);
    }
  }
  if (o.width % 2 || o.height % 2) usage("width and height must be even");
  return o;
}

// Publishers of the car's three topics, at their nominal rates.
class CarPublisher {
 public:
  CarPublisher() : pm_({"deviceState", "carState", "gpsLocation"}) {}

  void publish_due(const Scenario &sc, double t) {
    const CarSnapshot s = sc.at(t);
    if (t >= next_device_) {
      next_device_ += 0.5;  // 2 Hz
      MessageBuilder msg;
      msg.initEvent(s.device_valid).initDeviceState().setStarted(s.started);
      send("deviceState", msg, s.device_garbage);
    }
    if (t >= next_car_) {
      next_car_ += 0.01;  // 100 Hz
      MessageBuilder msg;
      msg.initEvent(s.car_valid).initCarState().setGearShifter((strand::CarState::GearShifter)s.gear);
      send("carState", msg, s.car_garbage);
    }
    if (t >= next_gps_) {
      next_gps_ += 1.0;  // 1 Hz
      MessageBuilder msg;
      auto g = msg.initEvent(s.gps_valid).initGpsLocation();
      g.setHasFix(s.has_fix);
      g.setLatitude(s.lat);
      g.setLongitude(s.lon);
      g.setSpeed(s.speed);
      send("gpsLocation", msg, s.gps_garbage);
    }
  }
  double next_due() const { return std::min({next_device_, next_car_, next_gps_}); }

 private:
  // With `garbage`, a payload whose segment table claims far more data than follows goes out
  // instead of the message.
  void send(const char *topic, MessageBuilder &msg, bool garbage) {
    static const char junk[] = "\xff\xff\xff\x7f not a message";
    if (garbage) {
      pm_.send(topic, (capnp::byte *)junk, sizeof(junk) - 1);
    } else {
      pm_.send(topic, msg);
    }
  }

  PubMaster pm_;
  double next_device_ = 0, next_car_ = 0, next_gps_ = 0;
};

}  // namespace

int main(int argc, char *argv[]) {
  const Options opt = parse_options(argc, argv);
  Scenario scenario;
  if (!opt.scenario.empty()) {
    std::string error;
    if (!scenario.parse_file(opt.scenario, error)) {
      fprintf(stderr, "simulator: %s: %s\n", opt.scenario.c_str(), error.c_str());
      return 2;
    }
  }

  VisionIpcServer server("imagerd");
  server.create_buffers(VISION_STREAM_ROAD, opt.buffers, false, opt.width, opt.height);
  server.start_listener();
  CarPublisher car;

  const uint64_t start = nanos_since_boot();
  const double frame_interval = 1.0 / opt.fps;
  long long sent = 0;
  double next_frame = opt.start_delay;
  fprintf(stderr, "simulator: imagerd road stream %dx%d at %g frames/s, %d buffers\n", opt.width, opt.height,
          opt.fps, opt.buffers);

  while (!do_exit) {
    const double t = (nanos_since_boot() - start) / 1e9;
    if (opt.duration >= 0 && t >= opt.duration) break;
    if (opt.exit_at_end && t >= scenario.length()) break;

    car.publish_due(scenario, t);
    const bool frames_left = opt.frames < 0 || sent < opt.frames;
    if (frames_left && t >= next_frame) {
      VisionBuf *buf = server.get_buffer(VISION_STREAM_ROAD);
      paint_frame(buf->y, buf->uv, opt.width, opt.height, (int)buf->stride, sent, t);
      VisionIpcBufExtra extra = {};
      extra.frame_id = (uint32_t)sent;
      server.send(buf, &extra);
      sent++;
      next_frame += frame_interval;
      // A late frame is sent at once, but a long stall does not turn into a burst.
      if (next_frame < t - 1.0) next_frame = t;
    }

    const double next = std::min(frames_left ? next_frame : 1e18, car.next_due());
    const double wait = next - (nanos_since_boot() - start) / 1e9;
    if (wait > 0) usleep((useconds_t)std::min(wait * 1e6, 100000.0));
  }

  printf("simulator: sent %lld frames\n", sent);
  fflush(stdout);
  return 0;
}
