// One 1080p picture to NV12 as the camera server converts it (libyuv, with a value table for
// full-range sources) against libswscale alone doing the same conversion, range included.
// Prints milliseconds per picture for each and their ratio.

extern "C" {
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>

#include "pc/camera/nv12_converter.h"

namespace {

constexpr int W = 1920, H = 1080, BATCHES = 7, ROUNDS = 50;

// The best batch's time per call: the machine's other work only ever adds time.
double ms_per_call(const std::function<void()> &fn) {
  fn();  // warm caches and lazily built tables
  double best = 1e9;
  for (int b = 0; b < BATCHES; b++) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < ROUNDS; i++) fn();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    best = std::min(best, std::chrono::duration<double, std::milli>(elapsed).count() / ROUNDS);
  }
  return best;
}

void compare(AVPixelFormat format, bool full_range, const char *what) {
  AVFrame *frame = av_frame_alloc();
  frame->format = format;
  frame->width = W;
  frame->height = H;
  frame->color_range = full_range ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
  av_frame_get_buffer(frame, 0);
  for (int p = 0; p < 3 && frame->data[p]; p++) {
    const int rows = p > 0 && format == AV_PIX_FMT_YUV420P ? H / 2 : H;
    for (int y = 0; y < rows; y++) {
      uint8_t *row = frame->data[p] + y * frame->linesize[p];
      for (int x = 0; x < frame->linesize[p]; x++) row[x] = (uint8_t)(x * 7 + y * 3 + p * 50);
    }
  }
  Nv12Image out;
  out.allocate(W, H);
  Nv12Converter converter;
  std::string error;
  const double ours = ms_per_call([&] { converter.convert(frame, out, error); });

  SwsContext *sws =
      sws_getContext(W, H, format, W, H, AV_PIX_FMT_NV12, SWS_BILINEAR, nullptr, nullptr, nullptr);
  const int *coefficients = sws_getCoefficients(SWS_CS_DEFAULT);
  sws_setColorspaceDetails(sws, coefficients, full_range ? 1 : 0, coefficients, 0, 0, 1 << 16, 1 << 16);
  uint8_t *dst[4] = {out.y(), out.uv(), nullptr, nullptr};
  int dst_stride[4] = {W, W, 0, 0};
  const double swscale =
      ms_per_call([&] { sws_scale(sws, frame->data, frame->linesize, 0, H, dst, dst_stride); });
  sws_freeContext(sws);
  av_frame_free(&frame);
  printf("convert %-36s camera server %6.2f ms  libswscale %6.2f ms  ratio %5.2f\n", what, ours, swscale,
         ours / swscale);
}

}  // namespace

int main() {
  compare(AV_PIX_FMT_YUV420P, false, "1080p yuv420p (H.264)");
  compare(AV_PIX_FMT_YUV422P, true, "1080p yuvj422p (webcam MJPEG)");
  compare(AV_PIX_FMT_YUYV422, false, "1080p yuyv422 (raw webcam)");
  return 0;
}
