// Simulator of the device's camera daemon and car daemons, for development, tests and the demo.
// Serves the road stream of "imagerd" over vision IPC with a moving synthetic picture, and
// publishes deviceState, carState and gpsLocation as a scenario file says.
//
// Usage: simulator [--scenario FILE] [--width W] [--height H] [--fps F] [--buffers N]
//                  [--frames N] [--start-delay S] [--duration S] [--exit-at-end]
//   --frames N     stop sending frames after N (the car messages go on)
//   --start-delay S  serve the stream but send the first frame only after S seconds, so a
//                  client can connect before any frame goes out
//   --duration S   exit after S seconds
//   --exit-at-end  exit when the scenario ends
// Ends on SIGINT or SIGTERM; prints "simulator: sent N frames" on exit.

#include <unistd.h>

#include <algorithm>
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

[[noreturn]] void usage(const char *why) {
  fprintf(stderr, "simulator: %s\n", why);
  fprintf(stderr,
          "usage: simulator [--scenario FILE] [--width W] [--height H] [--fps F] [--buffers N]\n"
          "                 [--frames N] [--start-delay S] [--duration S] [--exit-at-end]\n");
  exit(2);
}

Options parse_options(int argc, char *argv[]) {
  Options o;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    auto value = [&]() -> const char * {
      if (i + 1 >= argc) usage(("missing value for " + a).c_str());
      return argv[++i];
    };
    if (a == "--scenario") o.scenario = value();
    else if (a == "--width") o.width = atoi(value());
    else if (a == "--height") o.height = atoi(value());
    else if (a == "--fps") o.fps = atof(value());
    else if (a == "--buffers") o.buffers = atoi(value());
    else if (a == "--frames") o.frames = atoll(value());
    else if (a == "--start-delay") o.start_delay = atof(value());
    else if (a == "--duration") o.duration = atof(value());
    else if (a == "--exit-at-end") o.exit_at_end = true;
    else usage(("unknown option " + a).c_str());
  }
  if (o.width < 2 || o.height < 2 || o.width % 2 || o.height % 2) usage("width and height must be even and >= 2");
  if (!(o.fps > 0 && o.fps <= 1000)) usage("fps must be in (0, 1000]");
  if (o.buffers < 1 || o.buffers >= 128) usage("buffers must be 1..127");
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
