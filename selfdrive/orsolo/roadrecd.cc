// roadrecd: the dashcam recorder daemon. Waits for a plausible clock, takes the road camera
// stream of imagerd, and records every drive as a trip directory of MP4 segments with
// subtitles, following ignition, gear and position from the car's messages. Ignores its
// arguments but --help; stopped by SIGINT, SIGTERM or SIGPWR, or by "1" in the DashcamShutdown
// key; always exits with status 0. Settings: recorder_settings.h.

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "common/exit_handler.h"
#include "common/params.h"
#include "common/swaglog.h"
#include "common/util.h"
#include "selfdrive/orsolo/camera_link.h"
#include "selfdrive/orsolo/car_inputs.h"
#include "selfdrive/orsolo/footage_cleaner.h"
#include "selfdrive/orsolo/omx_segment_encoder.h"
#include "selfdrive/orsolo/recorder.h"
#include "selfdrive/orsolo/recorder_settings.h"
#include "selfdrive/orsolo/segment_recovery.h"
#include "selfdrive/pendrel/screenrecorder/segment_recovery.h"
#include "strand/messaging/socketmaster.h"
#include "strand/visionipc/visionipc_client.h"

static ExitHandler do_exit;

namespace {

class ParamsShutdownKey : public ShutdownKey {
 public:
  explicit ParamsShutdownKey(Params &params) : params_(params) {}
  bool requested() override { return params_.getBool("DashcamShutdown"); }
  void acknowledge() override { params_.putBool("DashcamShutdown", false); }

 private:
  Params &params_;
};

FrameGeometry geometry_of(const VisionBuf &buf) {
  FrameGeometry g;
  g.width = (int)buf.width;
  g.height = (int)buf.height;
  g.y_stride = (int)buf.stride;
  g.uv_stride = g.y_stride;
  return g;
}

bool wants_help(int argc, char *argv[]) {
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--help") == 0) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char *argv[]) {
  // Lines already printed must survive an abnormal end, even when standard output is a file.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  // The process manager may pass anything: every argument but --help is ignored.
  if (wants_help(argc, argv)) {
    fputs(recorder_help_text().c_str(), stdout);
    return 0;
  }

  setpriority(PRIO_PROCESS, 0, -10);
  std::vector<std::string> problems;
  const RecorderSettings settings = read_recorder_settings(&problems);
  for (const std::string &problem : problems) LOGW("roadrecd: %s", problem.c_str());
  // Without the directory every segment fails to open: the recorder then keeps trying.
  if (!util::create_directories(settings.videos_dir, 0755)) {
    LOGW("roadrecd: cannot create the videos directory %s: %s", settings.videos_dir.c_str(), strerror(errno));
  }
  // Segments a recorder that died left open are finished before anything new is written.
  recover_open_segments(settings.videos_dir, recover_segment);

  LOGW("roadrecd: waiting for system time");
  while (!do_exit && !system_time_valid(time(nullptr))) usleep(1000000);
  if (do_exit) return 0;
  LOGW("roadrecd: system time valid");
  LOGW("roadrecd: started, connecting to imagerd road stream");

  auto vipc = std::make_unique<VisionIpcClient>("imagerd", VISION_STREAM_ROAD, false, nullptr, nullptr);
  while (!do_exit && !vipc->connect(false)) usleep(100000);
  if (do_exit) return 0;
  LOGW("roadrecd: vipc connected, waiting for valid frame");

  VisionBuf *init_buf = nullptr;
  while (!do_exit) {
    init_buf = vipc->recv(nullptr, 100);
    if (init_buf && init_buf->width != 0 && init_buf->height != 0) break;
    usleep(100000);
  }
  if (do_exit) return 0;

  // The first frame gives the geometry; that frame is not encoded.
  const FrameGeometry geometry = geometry_of(*init_buf);
  LOGW("roadrecd: first valid frame %dx%d stride=%d", geometry.width, geometry.height, geometry.y_stride);

  auto sm = std::make_unique<SubMaster>(car_topic_list(), std::vector<const char *>{}, nullptr,
                                        std::vector<const char *>{});
  auto params = std::make_unique<Params>("");

  SystemClock clock;
  SubMasterInputs inputs(*sm);
  ParamsShutdownKey shutdown(*params);
  FootageCleaner cleaner(settings.videos_dir, settings.min_free_percent);
  {
    Recorder recorder(settings.videos_dir, geometry, clock, OmxSegmentEncoder::create, inputs, shutdown, cleaner);
    recorder.begin();

    CameraLink camera(*vipc, clock);
    while (!do_exit) {
      VisionBuf *buf = camera.recv(100);
      if (camera.take_lost()) recorder.camera_lost();
      if (buf == nullptr || buf->width == 0 || buf->height == 0) {
        if (!recorder.on_no_frame()) break;
        continue;
      }
      // A camera server that came back at another size starts a new trip at that size.
      const FrameGeometry frame_geometry = geometry_of(*buf);
      if (frame_geometry != recorder.geometry()) recorder.set_geometry(frame_geometry);
      if (!recorder.on_frame(buf->y, buf->uv)) break;
    }
    recorder.finish();
  }

  params.reset();
  sm.reset();
  vipc.reset();
  return 0;
}
