#pragma once

// The camera server's input side: opens the input, decodes its pictures, waits until each is
// due (so a file plays in real time and the output thread sees "the newest due picture"),
// converts it to NV12 at the output size and publishes it. When the input fails or ends it
// logs once, reopens it with back-off, and goes on; a regular file ends for good unless it
// loops. Runs on its own thread until an exit is requested.

#include <string>

#include "common/exit_handler.h"
#include "pc/camera/camera_input.h"
#include "pc/camera/latest_frame.h"
#include "pc/common/retry.h"

struct FrameSourceConfig {
  CameraInputConfig input;
  bool loop = false;  // a file starts again at its end
  int width = 0;      // output size; 0: the first picture's size (even, within max_side)
  int height = 0;
  int max_side = 4096;
  double first_retry = 0.5;  // seconds before the first reopen; doubles up to max_retry
  double max_retry = 5.0;
};

class FrameSource {
 public:
  FrameSource(FrameSourceConfig config, LatestFrame &latest, const ExitHandler &exit);

  // The thread body.
  void run();

 private:
  enum class Outcome { REOPEN, STOP };
  // Reads the open input until it fails or ends.
  Outcome read_pictures(CameraInput &input);
  // Converts and publishes one due picture; false when it cannot be converted.
  bool deliver(const AVFrame *frame, uint64_t due_ns);
  // An outage is logged once, when it starts; later attempts only at debug level.
  void report_outage(const std::string &what);

  FrameSourceConfig config_;
  LatestFrame &latest_;
  const ExitHandler &exit_;
  Backoff backoff_;
  Nv12Converter converter_;
  bool outage_ = false;  // until pictures come again
  int attempts_ = 0;     // reopen attempts in this outage
  bool size_known_ = false;
  int last_width_ = 0, last_height_ = 0;  // the source's picture size, to log a change once
};
