#include "selfdrive/pendrel/screenrecorder/mp4_muxer.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "selfdrive/pendrel/screenrecorder/segment_journal.h"

extern "C" {
#include <libavutil/mathematics.h>
}

namespace {

constexpr int kIoBufferSize = 32768;
constexpr AVRational kMicroseconds = {1, 1000000};

}  // namespace

Mp4Muxer::Mp4Muxer(int fd, const std::string &path, int width, int height, int fps) : fd_(fd) {
  avformat_alloc_output_context2(&ctx_, NULL, NULL, path.c_str());
  if (!ctx_) {
    error_ = "no container for " + path;
    return;
  }
  // The codec is never opened: its context only describes the stream to the muxer.
  const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_H264);
  uint8_t *buffer = static_cast<uint8_t *>(av_malloc(kIoBufferSize));
  if (buffer) io_ = avio_alloc_context(buffer, kIoBufferSize, 1, this, nullptr, write_cb, seek_cb);
  if (!io_) av_free(buffer);
  if (!codec || !avformat_new_stream(ctx_, NULL) || !(codec_ctx_ = avcodec_alloc_context3(codec)) || !io_) {
    error_ = "cannot set up the muxer";
    avformat_free_context(ctx_);
    ctx_ = nullptr;
    return;
  }
  codec_ctx_->width = width;
  codec_ctx_->height = height;
  codec_ctx_->pix_fmt = AV_PIX_FMT_YUV420P;
  codec_ctx_->time_base = (AVRational){1, fps};
  ctx_->pb = io_;
  ctx_->flags |= AVFMT_FLAG_CUSTOM_IO;
  ctx_->flush_packets = 1;
}

Mp4Muxer::~Mp4Muxer() {
  avcodec_free_context(&codec_ctx_);  // with the extradata
  if (io_) {
    av_freep(&io_->buffer);
    avio_context_free(&io_);
  }
  avformat_free_context(ctx_);
}

bool Mp4Muxer::check(int err, const char *what) {
  if (err >= 0 && io_->error >= 0) return true;
  if (error_.empty()) {
    char text[AV_ERROR_MAX_STRING_SIZE];
    av_strerror(err < 0 ? err : io_->error, text, sizeof(text));
    error_ = std::string(what) + ": " + (errno_ ? strerror(errno_) : text);
  }
  return false;
}

bool Mp4Muxer::write_header(const uint8_t *config, size_t len) {
  codec_ctx_->extradata = static_cast<uint8_t *>(av_mallocz(len + AV_INPUT_BUFFER_PADDING_SIZE));
  if (!codec_ctx_->extradata) return check(AVERROR(ENOMEM), "header");
  codec_ctx_->extradata_size = (int)len;
  memcpy(codec_ctx_->extradata, config, len);
  if (!check(avcodec_parameters_from_context(ctx_->streams[0]->codecpar, codec_ctx_), "header")) return false;
  if (!check(avformat_write_header(ctx_, NULL), "header")) return false;
  avio_flush(io_);
  return check(0, "header");
}

bool Mp4Muxer::write_frame(const uint8_t *data, size_t len, int64_t pts_us, bool sync, uint32_t *size,
                           uint32_t *crc) {
  const AVRational stream_tb = ctx_->streams[0]->time_base;
  AVPacket *pkt = av_packet_alloc();
  if (!pkt) return check(AVERROR(ENOMEM), "frame");
  pkt->data = const_cast<uint8_t *>(data);
  pkt->size = (int)len;
  pkt->pts = pkt->dts = av_rescale_q_rnd(pts_us, kMicroseconds, stream_tb,
                                         (enum AVRounding)(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
  // A fixed 50 ms, whatever the frame rate: the last frame's duration in the index.
  pkt->duration = av_rescale_q(50 * 1000, kMicroseconds, stream_tb);
  if (sync) pkt->flags |= AV_PKT_FLAG_KEY;
  // The buffer is empty here (every packet is flushed), so the bytes written from now on are
  // this frame's.
  const int64_t start = pos_;
  packet_crc_ = 0;
  int err = av_write_frame(ctx_, pkt);
  av_packet_free(&pkt);
  if (!check(err, "frame")) return false;
  *size = (uint32_t)(pos_ - start);
  *crc = packet_crc_;
  return true;
}

bool Mp4Muxer::write_trailer() {
  int err = av_write_trailer(ctx_);
  avio_flush(io_);
  return check(err, "index");
}

int Mp4Muxer::write_cb(void *opaque, uint8_t *buf, int size) {
  return static_cast<Mp4Muxer *>(opaque)->write_bytes(buf, size);
}

int Mp4Muxer::write_bytes(const uint8_t *buf, int size) {
  packet_crc_ = segment_journal::crc32(packet_crc_, buf, (size_t)size);
  int64_t at = pos_;
  const uint8_t *p = buf;
  int64_t left = size;
  while (left > 0) {
    if (at >= disk_begin_ && at < disk_end_) {
      int64_t n = std::min(left, disk_end_ - at);
      if (verify_ && !same_as_disk(p, n, at)) {
        error_ = "the file differs from what the muxer writes";
        return AVERROR_INVALIDDATA;
      }
      at += n, p += n, left -= n;
      continue;
    }
    int64_t n = at < disk_begin_ ? std::min(left, disk_begin_ - at) : left;
    ssize_t w = pwrite(fd_, p, (size_t)n, at);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      errno_ = w < 0 ? errno : EIO;
      return AVERROR(errno_);
    }
    at += w, p += w, left -= w;
  }
  pos_ = at;
  end_ = std::max(end_, pos_);
  return size;
}

bool Mp4Muxer::same_as_disk(const uint8_t *p, int64_t n, int64_t at) {
  uint8_t buf[4096];
  while (n > 0) {
    ssize_t r = pread(fd_, buf, (size_t)std::min<int64_t>(n, sizeof(buf)), at);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0 || memcmp(buf, p, (size_t)r) != 0) return false;
    at += r, p += r, n -= r;
  }
  return true;
}

int64_t Mp4Muxer::seek_cb(void *opaque, int64_t offset, int whence) {
  Mp4Muxer *m = static_cast<Mp4Muxer *>(opaque);
  switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE:
      return m->end_;
    case SEEK_SET:
      m->pos_ = offset;
      break;
    case SEEK_CUR:
      m->pos_ += offset;
      break;
    case SEEK_END:
      m->pos_ = m->end_ + offset;
      break;
    default:
      return AVERROR(EINVAL);
  }
  return m->pos_;
}
