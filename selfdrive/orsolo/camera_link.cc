#include "selfdrive/orsolo/camera_link.h"

#include <unistd.h>

#include "common/swaglog.h"
#include "selfdrive/orsolo/recorder_config.h"

CameraLink::CameraLink(VisionIpcClient &client, RecorderClock &clock) : client_(client), clock_(clock) {
  since_ = now();
}

VisionBuf *CameraLink::recv(int timeout_ms) {
  if (state_ == State::RECONNECTING) {
    if (!client_.connect(false)) {
      usleep(timeout_ms * 1000);  // a signal ends it early, so an exit request is seen at once
      return nullptr;
    }
    state_ = State::AWAITING_FRAME;
    since_ = now();
  }

  VisionBuf *buf = client_.recv(nullptr, timeout_ms);
  if (buf) {
    if (state_ == State::AWAITING_FRAME) {
      LOGW("roadrecd: camera back, %zux%zu", buf->width, buf->height);
    }
    state_ = State::STREAMING;
    since_ = now();
    return buf;
  }

  const bool silent = now() - since_ >= CAMERA_SILENCE_SECONDS;
  if (client_.is_connected() && !silent) return nullptr;
  // A server that is back but has not sent yet, or whose first packets were stale, is simply
  // connected again: only the loss of a streaming camera is news.
  if (state_ == State::STREAMING) {
    LOGW("roadrecd: camera connection lost, reconnecting");
    lost_ = true;
  }
  state_ = State::RECONNECTING;
  return nullptr;
}

bool CameraLink::take_lost() {
  const bool lost = lost_;
  lost_ = false;
  return lost;
}
