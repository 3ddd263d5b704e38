#include "pc/camera/frame_source.h"

#include <utility>

#include "common/swaglog.h"
#include "common/timing.h"
#include "pc/camera/frame_clock.h"

FrameSource::FrameSource(FrameSourceConfig config, LatestFrame &latest, const ExitHandler &exit)
    : config_(std::move(config)),
      latest_(latest),
      exit_(exit),
      backoff_(config_.first_retry, config_.max_retry) {
  if (config_.width > 0 && config_.height > 0) {
    latest_.set_size(config_.width, config_.height);
    size_known_ = true;
  }
}

void FrameSource::report_outage(const std::string &what) {
  if (!outage_)
    LOGE("camera: %s", what.c_str());
  else
    LOGD("camera: attempt %d: %s", attempts_, what.c_str());
  outage_ = true;
}

void FrameSource::run() {
  const std::string &url = config_.input.url;
  CameraInput input(config_.input, [this] { return (bool)exit_; });
  while (!exit_) {
    std::string error;
    if (!input.open(error)) {
      attempts_++;
      report_outage("cannot open " + url + ": " + error + "; retrying");
      sleep_unless_exit(exit_, backoff_.next());
      continue;
    }
    // During an outage an input may open and fail again at once: only its return is logged.
    if (!outage_)
      LOGW("camera: %s open: %s", url.c_str(), input.describe().c_str());
    else
      LOGD("camera: %s open: %s", url.c_str(), input.describe().c_str());
    const Outcome outcome = read_pictures(input);
    input.close();
    latest_.lose();
    if (outcome == Outcome::STOP) break;
    attempts_++;
    sleep_unless_exit(exit_, backoff_.next());
  }
}

FrameSource::Outcome FrameSource::read_pictures(CameraInput &input) {
  const std::string &url = config_.input.url;
  FrameClock clock;
  while (!exit_) {
    AVFrame *frame = nullptr;
    double pts = 0;
    std::string error;
    switch (input.next_frame(frame, pts, error)) {
      case CameraInput::Status::FRAME: {
        const uint64_t due = clock.due(pts, nanos_since_boot());
        const uint64_t now = nanos_since_boot();
        if (due > now && !sleep_unless_exit(exit_, (due - now) * 1e-9)) return Outcome::STOP;
        if (!deliver(frame, due)) return Outcome::REOPEN;
        break;
      }
      case CameraInput::Status::ENDED:
        if (!input.is_regular_file()) {
          report_outage(url + " ended; reopening");
          return Outcome::REOPEN;
        }
        if (!config_.loop) {
          LOGW("camera: %s ended; no more frames (--loop plays a file again)", url.c_str());
          latest_.lose();
          while (sleep_unless_exit(exit_, 1.0)) {
          }
          return Outcome::STOP;
        }
        if (!input.open(error)) {
          report_outage("cannot reopen " + url + " to loop it: " + error + "; retrying");
          return Outcome::REOPEN;
        }
        clock.reset();
        break;
      case CameraInput::Status::FAILED:
        report_outage(url + " failed: " + error + "; reopening");
        return Outcome::REOPEN;
    }
  }
  return Outcome::STOP;
}

bool FrameSource::deliver(const AVFrame *frame, uint64_t due_ns) {
  if (!size_known_) {
    int w = 0, h = 0;
    fit_output_size(frame->width, frame->height, config_.max_side, w, h);
    latest_.set_size(w, h);
    size_known_ = true;
  }
  Nv12Image &out = latest_.staging();
  if (last_width_ != 0 && (frame->width != last_width_ || frame->height != last_height_)) {
    LOGW("camera: picture size changed from %dx%d to %dx%d; scaled to the stream's %dx%d", last_width_,
         last_height_, frame->width, frame->height, out.width, out.height);
  }
  last_width_ = frame->width;
  last_height_ = frame->height;

  std::string error;
  if (!converter_.convert(frame, out, error)) {
    report_outage(error + "; reopening");
    return false;
  }
  latest_.publish(due_ns, nanos_since_boot());
  if (outage_) {
    LOGW("camera: %s back after %d attempts", config_.input.url.c_str(), attempts_);
    outage_ = false;
    attempts_ = 0;
    backoff_.reset();
  }
  return true;
}
