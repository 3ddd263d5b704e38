// roadrec-camera: the camera server of a PC dashcam. Serves the road stream of "imagerd" over
// vision IPC, as the device's camera daemon does, from any input FFmpeg reads: a V4L2 camera,
// an RTSP or HTTP camera, a video file (played in real time) or a test source. Delivers a fixed
// rate (20 frames/s) whatever the source gives, dropping or repeating pictures by their time.
// When the input fails or ends, the vision server stays up, the outage is logged once, and
// the input is reopened with back-off until pictures come again.

#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "common/exit_handler.h"
#include "common/swaglog.h"
#include "common/timing.h"
#include "pc/camera/frame_source.h"
#include "pc/camera/latest_frame.h"
#include "pc/common/command_line.h"
#include "pc/common/retry.h"
#include "strand/visionipc/visionipc_server.h"

static ExitHandler do_exit;

namespace {

const char *const USAGE =
    "usage: roadrec-camera --input INPUT [--format NAME] [--option KEY=VALUE]... [--loop]\n"
    "                      [--size WxH] [--fps F] [--buffers N] [--read-timeout S] [--max-repeat S]\n"
    "  --input INPUT       /dev/videoN, rtsp://..., http://..., a video file, or a lavfi graph\n"
    "                      with --format lavfi (testsrc2=size=1280x720:rate=30)\n"
    "  --format NAME       FFmpeg input format (v4l2, lavfi, mjpeg, ...); guessed when left out\n"
    "  --option KEY=VALUE  an FFmpeg input option: input_format=mjpeg, video_size=1280x720,\n"
    "                      framerate=30 (V4L2; 20 is asked for unless given), rtsp_transport=udp\n"
    "  --loop              play a file again at its end (otherwise it ends for good)\n"
    "  --size WxH          stream size (even), served from the start; default: the first picture's\n"
    "                      (within 4096x4096), served once it came\n"
    "  --fps F             frames per second served (default 20, what the recorder expects)\n"
    "  --buffers N         shared frame buffers (default 8)\n"
    "  --read-timeout S    seconds without data before a live input is reopened (default 5)\n"
    "  --max-repeat S      how long the last picture is repeated while none newer comes (default 1)\n";

struct Options {
  FrameSourceConfig source;
  double fps = 20;
  int buffers = 8;
  double max_repeat = 1.0;
};

Options parse_options(int argc, char *argv[]) {
  Options o;
  CommandLine cl(argc, argv, USAGE);
  std::string name;
  while (cl.next(name)) {
    if (name == "--input") {
      o.source.input.url = cl.text();
    } else if (name == "--format") {
      o.source.input.format = cl.text();
    } else if (name == "--option") {
      const std::string kv = cl.text();
      const size_t eq = kv.find('=');
      if (eq == std::string::npos || eq == 0) cl.fail("--option wants KEY=VALUE, not '" + kv + "'");
      o.source.input.options[kv.substr(0, eq)] = kv.substr(eq + 1);
    } else if (name == "--loop") {
      o.source.loop = true;
    } else if (name == "--size") {
      const std::string size = cl.text();
      int w = 0, h = 0;
      char tail = 0;
      if (sscanf(size.c_str(), "%dx%d%c", &w, &h, &tail) != 2 || w < 2 || h < 2 || w > 8192 || h > 8192 ||
          w % 2 || h % 2) {
        cl.fail("--size wants an even WxH up to 8192x8192, not '" + size + "'");
      }
      o.source.width = w;
      o.source.height = h;
    } else if (name == "--fps") {
      o.fps = cl.number(1, 240);
    } else if (name == "--buffers") {
      o.buffers = (int)cl.number(2, VISIONIPC_MAX_FDS - 1);
    } else if (name == "--read-timeout") {
      o.source.input.read_timeout = cl.number(0.1, 3600);
    } else if (name == "--max-repeat") {
      o.max_repeat = cl.number(0, 3600);
    } else {
      cl.fail("unknown option " + name);
    }
  }
  if (o.source.input.url.empty()) cl.fail("--input is required");
  return o;
}

// Fixed-rate ticks on the boot clock. A late tick is served at once, but ticks missed by more
// than one period are skipped rather than sent in a burst.
class Ticker {
 public:
  Ticker(double fps, uint64_t start_ns) : period_ns_((uint64_t)(1e9 / fps)), next_ns_(start_ns) {}

  // Waits for the next tick; its scheduled time, or 0 on an exit request.
  uint64_t wait() {
    const uint64_t now = nanos_since_boot();
    if (now < next_ns_ && !sleep_unless_exit(do_exit, (next_ns_ - now) * 1e-9)) return 0;
    const uint64_t woke = nanos_since_boot();
    if (woke > next_ns_ + period_ns_) next_ns_ += (woke - next_ns_) / period_ns_ * period_ns_;
    const uint64_t tick = next_ns_;
    next_ns_ += period_ns_;
    return tick;
  }

 private:
  uint64_t period_ns_;
  uint64_t next_ns_;
};

}  // namespace

int main(int argc, char *argv[]) {
  setvbuf(stdout, nullptr, _IOLBF, 0);  // log lines reach a pipe or the journal as they are printed
  const Options opt = parse_options(argc, argv);
  LatestFrame latest;
  FrameSource source(opt.source, latest, do_exit);
  std::thread input_thread([&] { source.run(); });

  std::unique_ptr<VisionIpcServer> server;
  auto start_serving = [&](int width, int height) {
    server = std::make_unique<VisionIpcServer>("imagerd");
    server->create_buffers(VISION_STREAM_ROAD, opt.buffers, false, width, height);
    server->start_listener();
    LOGW("camera: serving imagerd road stream %dx%d at %g frames/s from %s", width, height, opt.fps,
         opt.source.input.url.c_str());
  };
  // With its size given the stream is served at once, camera or not; otherwise the first
  // picture gives its size, which holds from then on.
  if (opt.source.width > 0) start_serving(opt.source.width, opt.source.height);
  const uint64_t max_repeat_ns = (uint64_t)(opt.max_repeat * 1e9);
  uint64_t last_sent_seq = 0;
  uint32_t frame_id = 0;
  Ticker ticker(opt.fps, nanos_since_boot());
  while (!do_exit) {
    const uint64_t tick = ticker.wait();
    if (tick == 0) break;
    latest.read([&](const Nv12Image &image, const FrameInfo &info) {
      const TickChoice choice = choose_for_tick(info, last_sent_seq, tick, max_repeat_ns);
      if (choice == TickChoice::SKIP) return;
      if (!server) start_serving(image.width, image.height);
      VisionBuf *buf = server->get_buffer(VISION_STREAM_ROAD);
      memcpy(buf->addr, image.data.data(), image.data.size());
      buf->set_frame_id(frame_id);
      VisionIpcBufExtra extra = {};
      extra.frame_id = frame_id++;
      extra.timestamp_sof = info.sof_ns;
      extra.timestamp_eof = nanos_since_boot();  // when it went out
      extra.valid = true;
      server->send(buf, &extra);
      last_sent_seq = info.seq;
    });
  }

  input_thread.join();
  printf("camera: sent %u frames\n", frame_id);
  fflush(stdout);
  return 0;
}
