#pragma once

// The road camera as the recorder's loop sees it: the next frame or nothing, with the
// connection to the camera server kept up across restarts of the server. The connection
// counts as lost when the client says so (a packet of another server instance) or when no
// frame came for CAMERA_SILENCE_SECONDS; it is then made again every 100 ms or so, and the
// first frame after it ends the loss.

#include "selfdrive/orsolo/recorder_ports.h"
#include "strand/visionipc/visionipc_client.h"

class CameraLink {
 public:
  // `client` is connected and has delivered a frame; both must outlive the link.
  CameraLink(VisionIpcClient &client, RecorderClock &clock);

  // Waits about `timeout_ms` for the next frame; null when none came.
  VisionBuf *recv(int timeout_ms);
  // True once for every loss of the connection, when it is noticed.
  bool take_lost();

 private:
  enum class State { STREAMING, RECONNECTING, AWAITING_FRAME };
  double now() { return clock_.nanos_since_boot() / 1e9; }

  VisionIpcClient &client_;
  RecorderClock &clock_;
  State state_ = State::STREAMING;
  double since_ = 0;  // boot seconds of the last frame, or of the connect that awaits one
  bool lost_ = false;
};
