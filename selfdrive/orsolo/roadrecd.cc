// roadrecd: the dashcam recorder daemon. Waits for a plausible clock, takes the road camera
// stream of imagerd, and records every drive as a trip directory of MP4 segments with
// subtitles, following ignition, gear and position from the car's messages. Takes no
// arguments; stopped by SIGINT, SIGTERM or SIGPWR, or by "1" in the DashcamShutdown key;
// always exits with status 0.

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <memory>

#include "common/exit_handler.h"
#include "common/params.h"
#include "common/swaglog.h"
#include "selfdrive/orsolo/car_inputs.h"
#include "selfdrive/orsolo/omx_segment_encoder.h"
#include "selfdrive/orsolo/recorder.h"
#include "selfdrive/orsolo/recorder_config.h"
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

}  // namespace

int main(int /*argc*/, char * /*argv*/[]) {
  setpriority(PRIO_PROCESS, 0, -10);
  mkdir(VIDEOS_BASE, 0755);

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

  // The geometry of the first frame holds for the whole run; that frame is not encoded.
  FrameGeometry geometry;
  geometry.width = (int)init_buf->width;
  geometry.height = (int)init_buf->height;
  geometry.y_stride = (int)init_buf->stride;
  geometry.uv_stride = geometry.y_stride;
  LOGW("roadrecd: first valid frame %dx%d stride=%d", geometry.width, geometry.height, geometry.y_stride);

  auto sm = std::make_unique<SubMaster>(std::vector<const char *>{"carState", "deviceState", "gpsLocation"},
                                        std::vector<const char *>{}, nullptr, std::vector<const char *>{});
  auto params = std::make_unique<Params>("");

  SystemClock clock;
  SubMasterInputs inputs(*sm);
  ParamsShutdownKey shutdown(*params);
  {
    Recorder recorder(
        VIDEOS_BASE, geometry, clock,
        [](const std::string &trip_dir, int width, int height) {
          return std::make_unique<OmxSegmentEncoder>(trip_dir, width, height);
        },
        inputs, shutdown);
    recorder.begin();

    while (!do_exit) {
      VisionBuf *buf = vipc->recv(nullptr, 100);
      if (buf == nullptr) continue;
      if (!recorder.on_frame(buf->y, buf->uv)) break;
    }
    recorder.finish();
  }

  params.reset();
  sm.reset();
  vipc.reset();
  return 0;
}
