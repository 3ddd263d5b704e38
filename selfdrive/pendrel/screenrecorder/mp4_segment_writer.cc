// The output half of the encoder: segment files, their lock files, and the coded pictures written
// into an MP4 (H.264) or a raw elementary stream (HEVC).

#include "selfdrive/pendrel/screenrecorder/mp4_segment_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "common/fatal_check.h"
#include "common/swaglog.h"
#include "common/util.h"

extern "C" {
#include <libavutil/mathematics.h>
}

SegmentWriter::~SegmentWriter() {
  close();
}

void SegmentWriter::open(const std::string &dir, const std::string &filename, const SegmentFormat &format) {
  FATAL_CHECK(!open_);
  FATAL_CHECK(format.fps > 0);  // packet durations divide by it
  format_ = format;
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) {
    mkdir(dir.c_str(), 0755);
  }
  vid_path_ = dir + "/" + filename;
  lock_path_ = vid_path_ + ".lock";
  // A cut path would name another file, and a cut lock path could even be the video itself,
  // which close() would then delete: both paths must fit whole.
  const size_t lock_len = lock_path_.size();
  FATAL_CHECK(lock_len < 1024);
  printf("encoder_open %s remuxing:%d\n", vid_path_.c_str(), format_.mp4);

  if (format_.mp4) {
    avformat_alloc_output_context2(&ofmt_ctx_, NULL, NULL, vid_path_.c_str());
    FATAL_CHECK(this->ofmt_ctx_);
    out_stream_ = avformat_new_stream(ofmt_ctx_, NULL);
    FATAL_CHECK(this->out_stream_);
    // The codec is never opened: its context only describes the stream to the muxer.
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_H264);
    FATAL_CHECK(codec);
    codec_ctx_ = avcodec_alloc_context3(codec);
    FATAL_CHECK(this->codec_ctx_);
    codec_ctx_->width = format_.width;
    codec_ctx_->height = format_.height;
    codec_ctx_->pix_fmt = AV_PIX_FMT_YUV420P;
    codec_ctx_->time_base = (AVRational){1, format_.fps};
    int err = avio_open(&ofmt_ctx_->pb, vid_path_.c_str(), AVIO_FLAG_WRITE);
    FATAL_CHECK(err >= 0);
    header_written_ = false;
  } else {
    raw_ = fopen(vid_path_.c_str(), "wb");
    FATAL_CHECK(this->raw_);
  }

  int lock_fd = util::retry_eintr([&] { return ::open(lock_path_.c_str(), O_RDWR | O_CREAT, 0664); });
  FATAL_CHECK(lock_fd >= 0);
  ::close(lock_fd);
  open_ = true;
}

void SegmentWriter::write_header(const uint8_t *config, size_t len) {
  codec_ctx_->extradata = static_cast<uint8_t *>(av_mallocz(len + AV_INPUT_BUFFER_PADDING_SIZE));
  FATAL_CHECK(codec_ctx_->extradata);
  codec_ctx_->extradata_size = (int)len;
  memcpy(codec_ctx_->extradata, config, len);
  int err = avcodec_parameters_from_context(out_stream_->codecpar, codec_ctx_);
  FATAL_CHECK(err >= 0);
  err = avformat_write_header(ofmt_ctx_, NULL);
  FATAL_CHECK(err >= 0);
  header_written_ = true;
}

void SegmentWriter::write_frame(const uint8_t *data, size_t len, int64_t pts_us, bool key) {
  const AVRational in_tb = {1, 1000000};
  const AVRational out_tb = ofmt_ctx_->streams[0]->time_base;
  AVPacket *pkt = av_packet_alloc();
  FATAL_CHECK(pkt);
  pkt->data = const_cast<uint8_t *>(data);
  pkt->size = (int)len;
  pkt->pts = pkt->dts =
      av_rescale_q_rnd(pts_us, in_tb, out_tb, (enum AVRounding)(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
  pkt->duration = av_rescale_q(50 * 1000, in_tb, out_tb);
  if (key) pkt->flags |= AV_PKT_FLAG_KEY;
  int err = av_write_frame(ofmt_ctx_, pkt);
  if (err < 0) {
    LOGW("ts encoder write issue");
  }
  av_packet_free(&pkt);
}

void SegmentWriter::write_raw(const uint8_t *data, size_t len) {
  fwrite(data, 1, len, raw_);
}

void SegmentWriter::finish_mp4() {
  if (header_written_) {
    av_write_trailer(ofmt_ctx_);
  }
  avcodec_free_context(&codec_ctx_);
  avio_closep(&ofmt_ctx_->pb);
  avformat_free_context(ofmt_ctx_);
  ofmt_ctx_ = nullptr;
  out_stream_ = nullptr;
  // A segment that never got a header is no MP4 at all: leave nothing behind.
  if (!header_written_) {
    unlink(vid_path_.c_str());
  }
}

void SegmentWriter::finish_raw() {
  bool empty = ftell(raw_) == 0;
  fclose(raw_);
  raw_ = nullptr;
  if (empty) {
    unlink(vid_path_.c_str());
  }
}

void SegmentWriter::close() {
  if (!open_) return;
  if (format_.mp4) {
    finish_mp4();
  } else {
    finish_raw();
  }
  unlink(lock_path_.c_str());
  open_ = false;
  header_written_ = false;
}
