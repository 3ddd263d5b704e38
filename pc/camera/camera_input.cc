#include "pc/camera/camera_input.h"

extern "C" {
#include <libavdevice/avdevice.h>
#include <libavutil/pixdesc.h>
}

#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <mutex>
#include <utility>

#include "common/swaglog.h"
#include "common/timing.h"

namespace {

// Rejected packets in a row after which the input counts as undecodable.
constexpr int MAX_REJECTED_PACKETS = 100;

bool is_v4l2_device(const std::string &url) {
  return url.rfind("/dev/video", 0) == 0;
}

// FFmpeg's own messages repeat what the camera server reports in its words, once per attempt:
// they go to the log at debug level instead of standard error.
void forward_ffmpeg_log(void *context, int level, const char *fmt, va_list args) {
  if (level > AV_LOG_WARNING) return;
  char line[1024];
  int print_prefix = 1;
  av_log_format_line2(context, level, fmt, args, line, sizeof(line), &print_prefix);
  size_t n = strlen(line);
  while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r')) line[--n] = '\0';
  if (n > 0) LOGD("ffmpeg: %s", line);
}

}  // namespace

std::string av_error_text(int err) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(err, text, sizeof(text));
  return text;
}

CameraInput::CameraInput(CameraInputConfig config, std::function<bool()> should_stop)
    : config_(std::move(config)), should_stop_(std::move(should_stop)) {
  static std::once_flag ffmpeg_set_up;
  std::call_once(ffmpeg_set_up, [] {
    avdevice_register_all();
    av_log_set_callback(forward_ffmpeg_log);
  });
}

CameraInput::~CameraInput() {
  close();
}

int CameraInput::interrupt_callback(void *opaque) {
  auto *self = static_cast<CameraInput *>(opaque);
  if (self->should_stop_ && self->should_stop_()) return 1;
  return self->deadline_ns_ != 0 && nanos_since_boot() > self->deadline_ns_;
}

void CameraInput::arm_deadline(double seconds) {
  deadline_ns_ = nanos_since_boot() + (uint64_t)(seconds * 1e9);
}

bool CameraInput::open(std::string &error) {
  close();
  const std::string format =
      config_.format.empty() && is_v4l2_device(config_.url) ? "video4linux2" : config_.format;
  const AVInputFormat *input_format = nullptr;
  if (!format.empty()) {
    input_format = av_find_input_format(format.c_str());
    if (!input_format) {
      error = "unknown input format '" + format + "'";
      return false;
    }
  }

  AVDictionary *options = nullptr;
  for (auto &[key, value] : config_.options) av_dict_set(&options, key.c_str(), value.c_str(), 0);
  // A camera is asked for the recorder's rate; the driver picks the nearest it has.
  if (format == "video4linux2" || format == "v4l2")
    av_dict_set(&options, "framerate", "20", AV_DICT_DONT_OVERWRITE);
  // Over TCP a network camera's frames arrive whole or not at all.
  if (config_.url.rfind("rtsp://", 0) == 0)
    av_dict_set(&options, "rtsp_transport", "tcp", AV_DICT_DONT_OVERWRITE);

  fmt_ = avformat_alloc_context();
  fmt_->interrupt_callback = {&CameraInput::interrupt_callback, this};
  arm_deadline(config_.open_timeout);
  int err = avformat_open_input(&fmt_, config_.url.c_str(), input_format, &options);
  av_dict_free(&options);
  if (err < 0) {
    fmt_ = nullptr;  // freed by avformat_open_input
    error = av_error_text(err);
    return false;
  }
  err = avformat_find_stream_info(fmt_, nullptr);
  if (err < 0) {
    error = "cannot read the stream: " + av_error_text(err);
    close();
    return false;
  }
  const AVCodec *codec = nullptr;
  stream_index_ = av_find_best_stream(fmt_, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
  if (stream_index_ < 0 || !codec) {
    error = stream_index_ == AVERROR_DECODER_NOT_FOUND ? "no decoder for its video" : "no video stream";
    close();
    return false;
  }
  for (unsigned i = 0; i < fmt_->nb_streams; i++) {
    if ((int)i != stream_index_) fmt_->streams[i]->discard = AVDISCARD_ALL;
  }

  decoder_ = avcodec_alloc_context3(codec);
  avcodec_parameters_to_context(decoder_, fmt_->streams[stream_index_]->codecpar);
  decoder_->pkt_timebase = fmt_->streams[stream_index_]->time_base;
  decoder_->thread_count = 0;  // as many as the machine has: a 1080p stream must keep up on a small PC
  err = avcodec_open2(decoder_, codec, nullptr);
  if (err < 0) {
    error = "cannot open the " + std::string(codec->name) + " decoder: " + av_error_text(err);
    close();
    return false;
  }
  packet_ = av_packet_alloc();
  frame_ = av_frame_alloc();
  draining_ = false;
  rejected_packets_ = 0;
  return true;
}

void CameraInput::close() {
  av_frame_free(&frame_);
  av_packet_free(&packet_);
  avcodec_free_context(&decoder_);
  if (fmt_) avformat_close_input(&fmt_);
  stream_index_ = -1;
}

CameraInput::Status CameraInput::next_frame(AVFrame *&frame, double &pts_seconds, std::string &error) {
  if (!fmt_) {
    error = "input not open";
    return Status::FAILED;
  }
  while (true) {
    int err = avcodec_receive_frame(decoder_, frame_);
    if (err == 0) {
      const int64_t pts = frame_->best_effort_timestamp;
      pts_seconds = pts == AV_NOPTS_VALUE ? NAN : pts * av_q2d(fmt_->streams[stream_index_]->time_base);
      frame = frame_;
      return Status::FRAME;
    }
    if (err == AVERROR_EOF) return Status::ENDED;
    if (err != AVERROR(EAGAIN)) {
      error = "decoder failed: " + av_error_text(err);
      return Status::FAILED;
    }

    arm_deadline(config_.read_timeout);
    err = av_read_frame(fmt_, packet_);
    if (err == AVERROR_EOF || (err < 0 && fmt_->pb && avio_feof(fmt_->pb) && !fmt_->pb->error)) {
      // The end: let the decoder hand out the pictures it still holds.
      if (draining_) return Status::ENDED;
      draining_ = true;
      avcodec_send_packet(decoder_, nullptr);
      continue;
    }
    if (err < 0) {
      error = err == AVERROR_EXIT ? "no data for " + std::to_string((int)config_.read_timeout) + " s"
                                  : av_error_text(err);
      return Status::FAILED;
    }
    if (packet_->stream_index != stream_index_) {
      av_packet_unref(packet_);
      continue;
    }
    err = avcodec_send_packet(decoder_, packet_);
    av_packet_unref(packet_);
    if (err < 0 && err != AVERROR(EAGAIN)) {
      if (++rejected_packets_ >= MAX_REJECTED_PACKETS) {
        error = "undecodable video: " + av_error_text(err);
        return Status::FAILED;
      }
    } else {
      rejected_packets_ = 0;
    }
  }
}

bool CameraInput::is_regular_file() const {
  if (!config_.format.empty() || config_.url.find("://") != std::string::npos) return false;
  struct stat st;
  return stat(config_.url.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string CameraInput::describe() const {
  if (!fmt_ || !decoder_) return "closed";
  const char *pix = av_get_pix_fmt_name(decoder_->pix_fmt);
  return std::string(decoder_->codec->name) + " " + std::to_string(decoder_->width) + "x" +
         std::to_string(decoder_->height) + " " + (pix ? pix : "?") + " from " + fmt_->iformat->name;
}
