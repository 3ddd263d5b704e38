#pragma once

// One opened camera input: any source FFmpeg can read (a V4L2 device, an RTSP or HTTP camera,
// a video file, a test source through the lavfi device), its video stream and decoder.
//
// Every blocking FFmpeg call is bounded: opening by `open_timeout`, each later read by
// `read_timeout`, and all of them end at once when `should_stop` says so. Used by one thread.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <cstdint>
#include <functional>
#include <map>
#include <string>

struct CameraInputConfig {
  std::string url;     // "/dev/video0", "rtsp://...", "http://...", a file, a lavfi graph
  std::string format;  // FFmpeg input format ("v4l2", "lavfi", "mpegts", ...); empty: guessed
  std::map<std::string, std::string> options;  // demuxer or device options (input_format=mjpeg, ...)
  double open_timeout = 10.0;                  // seconds
  double read_timeout = 5.0;                   // seconds without data before a live input counts as failed
};

class CameraInput {
 public:
  enum class Status { FRAME, ENDED, FAILED };

  CameraInput(CameraInputConfig config, std::function<bool()> should_stop);
  ~CameraInput();
  CameraInput(const CameraInput &) = delete;
  CameraInput &operator=(const CameraInput &) = delete;

  // Opens the input and the decoder of its best video stream; on failure says why in `error`.
  bool open(std::string &error);
  void close();
  bool is_open() const { return fmt_ != nullptr; }

  // Decodes the next picture. FRAME: `frame` points to it until the next call, and
  // `pts_seconds` holds its presentation time (NaN when the source gives none). ENDED: the
  // input has no more pictures. FAILED: reading failed, `error` says why. Packets the decoder
  // rejects are skipped; a long run of them counts as a failure.
  Status next_frame(AVFrame *&frame, double &pts_seconds, std::string &error);

  // A regular file on disk: it ends for good rather than failing for a while.
  bool is_regular_file() const;
  // "h264 1280x720 from mpegts", for the log.
  std::string describe() const;

 private:
  static int interrupt_callback(void *opaque);
  void arm_deadline(double seconds);

  CameraInputConfig config_;
  std::function<bool()> should_stop_;
  uint64_t deadline_ns_ = 0;
  AVFormatContext *fmt_ = nullptr;
  AVCodecContext *decoder_ = nullptr;
  AVPacket *packet_ = nullptr;
  AVFrame *frame_ = nullptr;
  int stream_index_ = -1;
  bool draining_ = false;
  int rejected_packets_ = 0;
};

// "Resource temporarily unavailable" for an FFmpeg error code.
std::string av_error_text(int err);
