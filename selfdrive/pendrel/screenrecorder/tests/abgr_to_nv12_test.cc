// The system's ABGRToNV12 (libyuv row functions, chosen by CPU features) against libyuv's own
// whole-image converter of the same name.

#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "libyuv/convert_from_argb.h"
#include "selfdrive/pendrel/screenrecorder/abgr_to_nv12.h"

namespace {

struct Case {
  int width, height;
};

class AbgrToNv12Test : public ::testing::TestWithParam<Case> {};

// Both converters write into buffers with guard bytes around every row, so a write past the
// row end shows up as a difference too.
TEST_P(AbgrToNv12Test, MatchesLibyuv) {
  const Case c = GetParam();
  const int w = c.width, h = std::abs(c.height);
  const int src_stride = w * 4 + 12;
  const int y_stride = w + 16, uv_stride = ((w + 1) / 2) * 2 + 16;
  const int uv_rows = (h + 1) / 2;

  std::mt19937 rng(w * 1000 + h);
  std::vector<uint8_t> src((size_t)src_stride * h);
  for (auto &b : src) b = (uint8_t)rng();

  std::vector<uint8_t> y_ours((size_t)y_stride * h, 0xAA), uv_ours((size_t)uv_stride * uv_rows, 0xAA);
  std::vector<uint8_t> y_ref = y_ours, uv_ref = uv_ours;

  ASSERT_EQ(ABGRToNV12(src.data(), src_stride, y_ours.data(), y_stride, uv_ours.data(), uv_stride, w, c.height), 0);
  ASSERT_EQ(libyuv::ABGRToNV12(src.data(), src_stride, y_ref.data(), y_stride, uv_ref.data(), uv_stride, w, c.height),
            0);
  EXPECT_EQ(y_ours, y_ref);
  EXPECT_EQ(uv_ours, uv_ref);
}

INSTANTIATE_TEST_SUITE_P(Sizes, AbgrToNv12Test,
                         ::testing::Values(Case{64, 32},     // every full-width SIMD row
                                           Case{48, 16},     // SSSE3 width, not AVX2
                                           Case{33, 7},      // odd width and height
                                           Case{1, 1},       // a single pixel
                                           Case{17, 3},      // one row pair, then the last row alone
                                           Case{330, 250},   // the encoder tests' frame
                                           Case{1928, 1208},  // the road camera's frame
                                           Case{35, -2},     // bottom-up, two rows
                                           Case{64, -9}),    // bottom-up, odd height
                         [](const ::testing::TestParamInfo<Case> &i) {
                           return std::to_string(i.param.width) + "x" + (i.param.height < 0 ? "neg" : "") +
                                  std::to_string(std::abs(i.param.height));
                         });

TEST(AbgrToNv12ArgsTest, RefusesBadArguments) {
  std::vector<uint8_t> src(16 * 4 * 4), y(16 * 4), uv(16 * 2);
  EXPECT_EQ(ABGRToNV12(src.data(), 64, y.data(), 16, uv.data(), 16, 0, 4), -1);
  EXPECT_EQ(ABGRToNV12(src.data(), 64, y.data(), 16, uv.data(), 16, -4, 4), -1);
  EXPECT_EQ(ABGRToNV12(src.data(), 64, y.data(), 16, uv.data(), 16, 16, 0), -1);
  EXPECT_EQ(ABGRToNV12(nullptr, 64, y.data(), 16, uv.data(), 16, 16, 4), -1);
  EXPECT_EQ(ABGRToNV12(src.data(), 64, nullptr, 16, uv.data(), 16, 16, 4), -1);
  EXPECT_EQ(ABGRToNV12(src.data(), 64, y.data(), 16, nullptr, 16, 16, 4), -1);
}

// A bottom-up image is the top-down image with its rows in reverse order.
TEST(AbgrToNv12ArgsTest, BottomUpReadsRowsInReverse) {
  const int w = 20, h = 6;
  std::vector<uint8_t> src((size_t)w * 4 * h), flipped(src.size());
  for (size_t i = 0; i < src.size(); i++) src[i] = (uint8_t)(i * 31 + 7);
  for (int r = 0; r < h; r++) {
    std::copy(src.begin() + (size_t)r * w * 4, src.begin() + (size_t)(r + 1) * w * 4,
              flipped.begin() + (size_t)(h - 1 - r) * w * 4);
  }
  std::vector<uint8_t> y1(w * h), uv1(w * h / 2), y2(w * h), uv2(w * h / 2);
  ASSERT_EQ(ABGRToNV12(src.data(), w * 4, y1.data(), w, uv1.data(), w, w, -h), 0);
  ASSERT_EQ(ABGRToNV12(flipped.data(), w * 4, y2.data(), w, uv2.data(), w, w, h), 0);
  EXPECT_EQ(y1, y2);
  EXPECT_EQ(uv1, uv2);
}

}  // namespace
