// The NV12 conversion of every layout a camera or decoder gives, against the same smooth
// picture rendered directly at the output size: catches swapped chroma, a missing range
// conversion, and a layout that silently left the fast path.

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <cmath>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "pc/camera/nv12_converter.h"

namespace {

using FramePtr = std::unique_ptr<AVFrame, void (*)(AVFrame *)>;

FramePtr make_frame(AVPixelFormat format, int w, int h) {
  FramePtr f(av_frame_alloc(), [](AVFrame *p) { av_frame_free(&p); });
  f->format = format;
  f->width = w;
  f->height = h;
  EXPECT_EQ(av_frame_get_buffer(f.get(), 0), 0);
  return f;
}

bool full_range_format(AVPixelFormat f) {
  return f == AV_PIX_FMT_YUVJ420P || f == AV_PIX_FMT_YUVJ422P;
}

// Smooth colour gradients, so that scaling them changes little.
FramePtr rgb_picture(int w, int h) {
  FramePtr f = make_frame(AV_PIX_FMT_RGB24, w, h);
  for (int y = 0; y < h; y++) {
    uint8_t *row = f->data[0] + y * f->linesize[0];
    for (int x = 0; x < w; x++) {
      row[3 * x] = (uint8_t)(255.0 * x / (w - 1));
      row[3 * x + 1] = (uint8_t)(255.0 * y / (h - 1));
      row[3 * x + 2] = (uint8_t)(255.0 * (w - 1 - x + y) / (w + h - 2));
    }
  }
  return f;
}

// The RGB picture in `format`, full range for the "J" formats, limited otherwise.
FramePtr convert_rgb(const AVFrame *rgb, AVPixelFormat format) {
  FramePtr out = make_frame(format, rgb->width, rgb->height);
  const bool full = full_range_format(format);
  SwsContext *sws = sws_getContext(
      rgb->width, rgb->height, AV_PIX_FMT_RGB24, rgb->width, rgb->height,
      full ? (format == AV_PIX_FMT_YUVJ420P ? AV_PIX_FMT_YUV420P : AV_PIX_FMT_YUV422P) : format,
      SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INP, nullptr, nullptr, nullptr);
  const int *coefficients = sws_getCoefficients(SWS_CS_DEFAULT);
  sws_setColorspaceDetails(sws, coefficients, 1, coefficients, full ? 1 : 0, 0, 1 << 16, 1 << 16);
  sws_scale(sws, rgb->data, rgb->linesize, 0, rgb->height, out->data, out->linesize);
  sws_freeContext(sws);
  if (full) out->color_range = AVCOL_RANGE_JPEG;
  return out;
}

// The same picture rendered at the output size straight to limited-range NV12.
Nv12Image reference_nv12(int w, int h) {
  FramePtr nv12 = convert_rgb(rgb_picture(w, h).get(), AV_PIX_FMT_NV12);
  Nv12Image img;
  img.allocate(w, h);
  for (int y = 0; y < h; y++) memcpy(img.y() + y * w, nv12->data[0] + y * nv12->linesize[0], w);
  for (int y = 0; y < h / 2; y++) memcpy(img.uv() + y * w, nv12->data[1] + y * nv12->linesize[1], w);
  return img;
}

double psnr(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b) {
  double se = 0;
  for (size_t i = 0; i < a.size(); i++) se += ((double)a[i] - b[i]) * ((double)a[i] - b[i]);
  return se == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / (se / a.size()));
}

struct ConversionCase {
  AVPixelFormat format;
  int src_w, src_h;
  Nv12Converter::Path path;
};

void PrintTo(const ConversionCase &c, std::ostream *os) {
  *os << av_get_pix_fmt_name(c.format) << " " << c.src_w << "x" << c.src_h;
}

class Nv12ConversionTest : public ::testing::TestWithParam<ConversionCase> {};

INSTANTIATE_TEST_SUITE_P(Layouts, Nv12ConversionTest,
                         ::testing::Values(
                             // Decoders (H.264, MJPEG) and raw webcams, at the output size: the fast path.
                             ConversionCase{AV_PIX_FMT_YUV420P, 320, 240, Nv12Converter::Path::LIBYUV},
                             ConversionCase{AV_PIX_FMT_YUVJ420P, 320, 240, Nv12Converter::Path::LIBYUV},
                             ConversionCase{AV_PIX_FMT_YUV422P, 320, 240, Nv12Converter::Path::LIBYUV},
                             ConversionCase{AV_PIX_FMT_YUVJ422P, 320, 240, Nv12Converter::Path::LIBYUV},
                             ConversionCase{AV_PIX_FMT_YUYV422, 320, 240, Nv12Converter::Path::LIBYUV},
                             ConversionCase{AV_PIX_FMT_UYVY422, 320, 240, Nv12Converter::Path::LIBYUV},
                             ConversionCase{AV_PIX_FMT_NV12, 320, 240, Nv12Converter::Path::LIBYUV},
                             // Other layouts, and any other size (full range too): libswscale.
                             ConversionCase{AV_PIX_FMT_RGB24, 320, 240, Nv12Converter::Path::SWSCALE},
                             ConversionCase{AV_PIX_FMT_YUV420P, 640, 480, Nv12Converter::Path::SWSCALE},
                             ConversionCase{AV_PIX_FMT_YUVJ422P, 480, 360, Nv12Converter::Path::SWSCALE}),
                         [](const ::testing::TestParamInfo<ConversionCase> &info) {
                           return std::string(av_get_pix_fmt_name(info.param.format)) + "_" +
                                  std::to_string(info.param.src_w);
                         });

TEST_P(Nv12ConversionTest, MatchesThePictureRenderedAtTheOutputSize) {
  const ConversionCase &c = GetParam();
  FramePtr rgb = rgb_picture(c.src_w, c.src_h);
  FramePtr source = c.format == AV_PIX_FMT_RGB24 ? std::move(rgb) : convert_rgb(rgb.get(), c.format);

  Nv12Converter converter;
  Nv12Image out;
  out.allocate(320, 240);
  std::string error;
  ASSERT_TRUE(converter.convert(source.get(), out, error)) << error;
  EXPECT_EQ(converter.last_path(), c.path);
  EXPECT_GE(psnr(out.data, reference_nv12(320, 240).data), 35.0);
}

TEST(Nv12ConverterTest, RefusesAnEmptyPicture) {
  FramePtr empty(av_frame_alloc(), [](AVFrame *p) { av_frame_free(&p); });
  Nv12Converter converter;
  Nv12Image out;
  out.allocate(320, 240);
  std::string error;
  EXPECT_FALSE(converter.convert(empty.get(), out, error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
