#pragma once

// A clip coded by libx264 through libavcodec in the encoder component's form: the parameter sets
// apart (Annex B), one access unit per packet, no B pictures (so decoding order is display order).
// For tests and benchmarks of the segment writer that need real coded frames without a component.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

struct H264Clip {
  struct Packet {
    std::vector<uint8_t> data;
    bool sync;
  };
  std::vector<uint8_t> config;
  std::vector<Packet> packets;
};

struct H264ClipSettings {
  int width = 0, height = 0, frames = 0;
  int fps = 10;
  int sync_period = 16;
  int64_t bitrate = 0;  // bits per second, with the peak and a one-second buffer; 0: constant quality
  int64_t peak_bitrate = 0;
  const char *preset = "ultrafast";
};

// `paint(i, y, y_stride, uv, uv_stride)` fills frame i (NV12).
inline H264Clip encode_h264_clip(const H264ClipSettings &s,
                                 const std::function<void(int, uint8_t *, int, uint8_t *, int)> &paint) {
  H264Clip out;
  av_log_set_level(AV_LOG_ERROR);
  const AVCodec *codec = avcodec_find_encoder_by_name("libx264");
  AVCodecContext *ctx = codec ? avcodec_alloc_context3(codec) : nullptr;
  if (!ctx) {
    fprintf(stderr, "no libx264 in libavcodec\n");
    abort();
  }
  ctx->width = s.width;
  ctx->height = s.height;
  ctx->pix_fmt = AV_PIX_FMT_NV12;
  ctx->time_base = {1, s.fps};
  ctx->gop_size = s.sync_period;
  ctx->max_b_frames = 0;
  ctx->bit_rate = s.bitrate;
  ctx->rc_max_rate = s.peak_bitrate;
  ctx->rc_buffer_size = (int)s.bitrate;
  ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  av_opt_set(ctx->priv_data, "preset", s.preset, 0);
  if (avcodec_open2(ctx, codec, nullptr) < 0) abort();
  out.config.assign(ctx->extradata, ctx->extradata + ctx->extradata_size);

  AVFrame *frame = av_frame_alloc();
  frame->format = AV_PIX_FMT_NV12;
  frame->width = s.width;
  frame->height = s.height;
  av_frame_get_buffer(frame, 0);
  AVPacket *pkt = av_packet_alloc();
  for (int i = 0; i <= s.frames; i++) {
    if (i < s.frames) {
      av_frame_make_writable(frame);
      paint(i, frame->data[0], frame->linesize[0], frame->data[1], frame->linesize[1]);
      frame->pts = i;
    }
    avcodec_send_frame(ctx, i < s.frames ? frame : nullptr);
    while (avcodec_receive_packet(ctx, pkt) == 0) {
      out.packets.push_back(
          {std::vector<uint8_t>(pkt->data, pkt->data + pkt->size), (pkt->flags & AV_PKT_FLAG_KEY) != 0});
      av_packet_unref(pkt);
    }
  }
  av_packet_free(&pkt);
  av_frame_free(&frame);
  avcodec_free_context(&ctx);
  return out;
}
