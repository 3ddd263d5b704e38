#pragma once

// Turns decoded pictures of any size and pixel format into NV12 of one fixed size, with the
// luma and chroma values in the limited range the encoder expects.
//
// Pictures already at the output size in the layouts cameras and decoders give (4:2:0 and
// 4:2:2 planar, YUYV, UYVY, NV12) go through libyuv's row converters, with a value table for
// full-range sources. At 1080p (bench/camera) that is 4 to 5 times faster than libswscale for
// a webcam's full-range 4:2:2 MJPEG, 25 times for raw YUYV, and a little faster for 4:2:0. Anything
// else, and any change of size, goes through libswscale.

extern "C" {
#include <libavutil/frame.h>
}

#include <cstdint>
#include <string>
#include <vector>

struct SwsContext;

// An NV12 picture: `width` x `height` luma bytes, then the interleaved chroma, both with a
// stride of `width`.
struct Nv12Image {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> data;

  void allocate(int w, int h) {
    width = w;
    height = h;
    data.resize((size_t)w * h * 3 / 2);
  }
  uint8_t *y() { return data.data(); }
  uint8_t *uv() { return data.data() + (size_t)width * height; }
  const uint8_t *y() const { return data.data(); }
  const uint8_t *uv() const { return data.data() + (size_t)width * height; }
};

class Nv12Converter {
 public:
  enum class Path { NONE, LIBYUV, SWSCALE };

  Nv12Converter() = default;
  ~Nv12Converter();
  Nv12Converter(const Nv12Converter &) = delete;
  Nv12Converter &operator=(const Nv12Converter &) = delete;

  // Converts `frame` into `out`, whose size must already be set; false with `error` set when
  // the picture cannot be converted (an unknown pixel format, an empty picture).
  bool convert(const AVFrame *frame, Nv12Image &out, std::string &error);

  // The path the last converted picture took.
  Path last_path() const { return last_path_; }

 private:
  bool convert_libyuv(const AVFrame *frame, Nv12Image &out);
  bool convert_swscale(const AVFrame *frame, Nv12Image &out, std::string &error);

  SwsContext *sws_ = nullptr;
  int sws_src_w_ = 0, sws_src_h_ = 0, sws_src_format_ = -1, sws_src_full_range_ = -1;
  int sws_dst_w_ = 0, sws_dst_h_ = 0;
  std::vector<uint8_t> chroma_u_, chroma_v_;  // 4:2:2 chroma halved in height
  Path last_path_ = Path::NONE;
};

// The largest even size that fits `width` x `height` within max_side x max_side, keeping the
// aspect: the output size chosen from a source's first picture.
void fit_output_size(int width, int height, int max_side, int &out_width, int &out_height);
