#pragma once

// libavformat writing an MP4 by its file name, the stream described as the segment writer
// describes it: the writer as it was before crash safety, the reference its files are held to.
// With `movflags`, the muxer's options of that name (for example a fragmented MP4), and every
// packet flushed as it is written.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

class PlainMp4Writer {
 public:
  PlainMp4Writer(const std::string &path, int width, int height, int fps, const std::vector<uint8_t> &config,
                 const char *movflags = nullptr) {
    avformat_alloc_output_context2(&ctx_, nullptr, nullptr, path.c_str());
    if (!ctx_) return;
    AVStream *st = avformat_new_stream(ctx_, nullptr);
    AVCodecContext *cc = avcodec_alloc_context3(avcodec_find_encoder(AV_CODEC_ID_H264));
    cc->width = width;
    cc->height = height;
    cc->pix_fmt = AV_PIX_FMT_YUV420P;
    cc->time_base = {1, fps};
    cc->extradata = static_cast<uint8_t *>(av_mallocz(config.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    cc->extradata_size = (int)config.size();
    memcpy(cc->extradata, config.data(), config.size());
    ok_ = avcodec_parameters_from_context(st->codecpar, cc) >= 0;
    avcodec_free_context(&cc);
    AVDictionary *opts = nullptr;
    if (movflags) {
      av_dict_set(&opts, "movflags", movflags, 0);
      ctx_->flush_packets = 1;
    }
    ok_ = ok_ && avio_open(&ctx_->pb, path.c_str(), AVIO_FLAG_WRITE) >= 0 &&
          avformat_write_header(ctx_, &opts) >= 0;
    av_dict_free(&opts);
  }
  ~PlainMp4Writer() { close(); }
  PlainMp4Writer(const PlainMp4Writer &) = delete;
  PlainMp4Writer &operator=(const PlainMp4Writer &) = delete;

  // Header written; every write since worked.
  bool ok() const { return ok_; }

  void write_frame(const uint8_t *data, size_t len, int64_t pts_us, bool sync) {
    if (!ok_) return;
    const AVRational tb = ctx_->streams[0]->time_base;
    AVPacket *pkt = av_packet_alloc();
    pkt->data = const_cast<uint8_t *>(data);
    pkt->size = (int)len;
    pkt->pts = pkt->dts = av_rescale_q(pts_us, {1, 1000000}, tb);
    pkt->duration = av_rescale_q(50000, {1, 1000000}, tb);
    if (sync) pkt->flags |= AV_PKT_FLAG_KEY;
    ok_ = av_write_frame(ctx_, pkt) >= 0;
    av_packet_free(&pkt);
  }

  void close() {
    if (!ctx_) return;
    if (ok_) ok_ = av_write_trailer(ctx_) >= 0;
    avio_closep(&ctx_->pb);
    avformat_free_context(ctx_);
    ctx_ = nullptr;
  }

 private:
  AVFormatContext *ctx_ = nullptr;
  bool ok_ = false;
};
