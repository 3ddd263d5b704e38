#include "pc/camera/nv12_converter.h"

extern "C" {
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <libyuv.h>

#include <algorithm>
#include <array>

namespace {

bool is_full_range(const AVFrame *frame) {
  switch (frame->format) {
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUVJ444P:
    case AV_PIX_FMT_YUVJ440P:
    case AV_PIX_FMT_YUVJ411P:
      return true;
    default:
      return frame->color_range == AVCOL_RANGE_JPEG;
  }
}

// The non-"J" twin of a full-range format, so libswscale takes the range from us and does
// not warn about a deprecated format.
AVPixelFormat plain_format(int format) {
  switch (format) {
    case AV_PIX_FMT_YUVJ420P:
      return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P:
      return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P:
      return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P:
      return AV_PIX_FMT_YUV440P;
    case AV_PIX_FMT_YUVJ411P:
      return AV_PIX_FMT_YUV411P;
    default:
      return (AVPixelFormat)format;
  }
}

// Full range (0-255) to limited range: luma 16-235, chroma 16-240 around 128.
struct RangeTables {
  std::array<uint8_t, 256> luma, chroma;
  RangeTables() {
    for (int v = 0; v < 256; v++) {
      luma[v] = (uint8_t)(16 + (v * 219 + 127) / 255);
      chroma[v] = (uint8_t)(128 + ((v - 128) * 224 + (v >= 128 ? 127 : -127)) / 255);
    }
  }
};

void apply_table(uint8_t *p, size_t n, const std::array<uint8_t, 256> &table) {
  for (size_t i = 0; i < n; i++) p[i] = table[p[i]];
}

}  // namespace

Nv12Converter::~Nv12Converter() {
  sws_freeContext(sws_);
}

bool Nv12Converter::convert(const AVFrame *frame, Nv12Image &out, std::string &error) {
  if (!frame || frame->width <= 0 || frame->height <= 0 || frame->format < 0) {
    error = "empty picture";
    return false;
  }
  if (frame->width == out.width && frame->height == out.height && convert_libyuv(frame, out)) {
    if (is_full_range(frame)) {
      static const RangeTables tables;
      apply_table(out.y(), (size_t)out.width * out.height, tables.luma);
      apply_table(out.uv(), (size_t)out.width * out.height / 2, tables.chroma);
    }
    last_path_ = Path::LIBYUV;
    return true;
  }
  if (!convert_swscale(frame, out, error)) return false;
  last_path_ = Path::SWSCALE;
  return true;
}

bool Nv12Converter::convert_libyuv(const AVFrame *f, Nv12Image &out) {
  const int w = out.width, h = out.height;
  switch (f->format) {
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUVJ420P:
      return libyuv::I420ToNV12(f->data[0], f->linesize[0], f->data[1], f->linesize[1], f->data[2],
                                f->linesize[2], out.y(), w, out.uv(), w, w, h) == 0;
    case AV_PIX_FMT_YUV422P:
    case AV_PIX_FMT_YUVJ422P: {
      // Every second chroma row of 4:2:2 is the 4:2:0 chroma; libyuv averages the pairs.
      const int cw = (w + 1) / 2, ch = (h + 1) / 2;
      chroma_u_.resize((size_t)cw * ch);
      chroma_v_.resize((size_t)cw * ch);
      if (libyuv::I422ToI420(f->data[0], f->linesize[0], f->data[1], f->linesize[1], f->data[2],
                             f->linesize[2], out.y(), w, chroma_u_.data(), cw, chroma_v_.data(), cw, w,
                             h) != 0) {
        return false;
      }
      libyuv::MergeUVPlane(chroma_u_.data(), cw, chroma_v_.data(), cw, out.uv(), w, cw, ch);
      return true;
    }
    case AV_PIX_FMT_YUYV422:
      return libyuv::YUY2ToNV12(f->data[0], f->linesize[0], out.y(), w, out.uv(), w, w, h) == 0;
    case AV_PIX_FMT_UYVY422:
      return libyuv::UYVYToNV12(f->data[0], f->linesize[0], out.y(), w, out.uv(), w, w, h) == 0;
    case AV_PIX_FMT_NV12:
      return libyuv::NV12Copy(f->data[0], f->linesize[0], f->data[1], f->linesize[1], out.y(), w, out.uv(), w,
                              w, h) == 0;
    default:
      return false;
  }
}

bool Nv12Converter::convert_swscale(const AVFrame *f, Nv12Image &out, std::string &error) {
  const int full_range = is_full_range(f) ? 1 : 0;
  if (!sws_ || sws_src_w_ != f->width || sws_src_h_ != f->height || sws_src_format_ != f->format ||
      sws_src_full_range_ != full_range || sws_dst_w_ != out.width || sws_dst_h_ != out.height) {
    sws_freeContext(sws_);
    sws_ = sws_getContext(f->width, f->height, plain_format(f->format), out.width, out.height,
                          AV_PIX_FMT_NV12, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!sws_) {
      const char *name = av_get_pix_fmt_name((AVPixelFormat)f->format);
      error = std::string("cannot convert ") + (name ? name : "an unknown pixel format") + " to NV12";
      return false;
    }
    const int *coefficients = sws_getCoefficients(SWS_CS_DEFAULT);
    sws_setColorspaceDetails(sws_, coefficients, full_range, coefficients, 0, 0, 1 << 16, 1 << 16);
    sws_src_w_ = f->width;
    sws_src_h_ = f->height;
    sws_src_format_ = f->format;
    sws_src_full_range_ = full_range;
    sws_dst_w_ = out.width;
    sws_dst_h_ = out.height;
  }
  uint8_t *dst[4] = {out.y(), out.uv(), nullptr, nullptr};
  int dst_stride[4] = {out.width, out.width, 0, 0};
  if (sws_scale(sws_, f->data, f->linesize, 0, f->height, dst, dst_stride) != out.height) {
    error = "picture conversion failed";
    return false;
  }
  return true;
}

void fit_output_size(int width, int height, int max_side, int &out_width, int &out_height) {
  double scale = std::min(1.0, std::min((double)max_side / width, (double)max_side / height));
  out_width = std::max(2, (int)(width * scale) & ~1);
  out_height = std::max(2, (int)(height * scale) & ~1);
}
