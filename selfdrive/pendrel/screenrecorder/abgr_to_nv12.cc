// ABGRToNV12 on libyuv's row converters, with the fastest variant the CPU offers: the full-width
// variants where the width is a multiple of their block, the "Any" variants (which handle the
// remainder) otherwise, the portable C rows without SIMD.

#include "selfdrive/pendrel/screenrecorder/abgr_to_nv12.h"

#include <cstddef>

#include "libyuv/cpu_id.h"
#include "libyuv/row.h"

using namespace libyuv;

int ABGRToNV12(const uint8_t *src_abgr, int src_stride_abgr, uint8_t *dst_y, int dst_stride_y, uint8_t *dst_uv,
               int dst_stride_uv, int width, int height) {
  if (width <= 0 || !src_abgr || !dst_y || !dst_uv || height == 0) return -1;
  if (height < 0) {  // bottom-up source: start at its last row
    height = -height;
    src_abgr = src_abgr + (height - 1) * (ptrdiff_t)src_stride_abgr;
    src_stride_abgr = -src_stride_abgr;
  }
  const int halfwidth = (width + 1) >> 1;

  void (*ABGRToUVRow)(const uint8_t *src, int src_stride, uint8_t *dst_u, uint8_t *dst_v, int width) = ABGRToUVRow_C;
  void (*ABGRToYRow)(const uint8_t *src, uint8_t *dst_y, int width) = ABGRToYRow_C;
  void (*MergeUVRowFn)(const uint8_t *src_u, const uint8_t *src_v, uint8_t *dst_uv, int width) = MergeUVRow_C;
#if defined(HAS_ABGRTOUVROW_NEON) && defined(HAS_ABGRTOYROW_NEON) && defined(HAS_MERGEUVROW_NEON)
  if (TestCpuFlag(kCpuHasNEON)) {
    ABGRToUVRow = (width % 16 == 0) ? ABGRToUVRow_NEON : ABGRToUVRow_Any_NEON;
    ABGRToYRow = (width % 8 == 0) ? ABGRToYRow_NEON : ABGRToYRow_Any_NEON;
    MergeUVRowFn = (halfwidth % 16 == 0) ? MergeUVRow_NEON : MergeUVRow_Any_NEON;
  }
#endif
#if defined(HAS_ABGRTOUVROW_SSSE3) && defined(HAS_ABGRTOYROW_SSSE3)
  if (TestCpuFlag(kCpuHasSSSE3)) {
    ABGRToUVRow = (width % 16 == 0) ? ABGRToUVRow_SSSE3 : ABGRToUVRow_Any_SSSE3;
    ABGRToYRow = (width % 16 == 0) ? ABGRToYRow_SSSE3 : ABGRToYRow_Any_SSSE3;
  }
#endif
#if defined(HAS_ABGRTOUVROW_AVX2) && defined(HAS_ABGRTOYROW_AVX2)
  if (TestCpuFlag(kCpuHasAVX2)) {
    ABGRToUVRow = (width % 32 == 0) ? ABGRToUVRow_AVX2 : ABGRToUVRow_Any_AVX2;
    ABGRToYRow = (width % 32 == 0) ? ABGRToYRow_AVX2 : ABGRToYRow_Any_AVX2;
  }
#endif
#if defined(HAS_MERGEUVROW_SSE2)
  if (TestCpuFlag(kCpuHasSSE2)) {
    MergeUVRowFn = (halfwidth % 16 == 0) ? MergeUVRow_SSE2 : MergeUVRow_Any_SSE2;
  }
#endif
#if defined(HAS_MERGEUVROW_AVX2)
  if (TestCpuFlag(kCpuHasAVX2)) {
    MergeUVRowFn = (halfwidth % 32 == 0) ? MergeUVRow_AVX2 : MergeUVRow_Any_AVX2;
  }
#endif

  // One U row then one V row, each padded to 32 bytes for the SIMD rows.
  const int row_size = (halfwidth + 31) & ~31;
  align_buffer_64(row_u, row_size * 2);
  uint8_t *row_v = row_u + row_size;

  int y;
  for (y = 0; y < height - 1; y += 2) {
    ABGRToUVRow(src_abgr, src_stride_abgr, row_u, row_v, width);
    MergeUVRowFn(row_u, row_v, dst_uv, halfwidth);
    ABGRToYRow(src_abgr, dst_y, width);
    ABGRToYRow(src_abgr + src_stride_abgr, dst_y + dst_stride_y, width);
    src_abgr += (ptrdiff_t)src_stride_abgr * 2;
    dst_y += (ptrdiff_t)dst_stride_y * 2;
    dst_uv += dst_stride_uv;
  }
  if (height & 1) {  // the last row alone: its chroma from itself only
    ABGRToUVRow(src_abgr, 0, row_u, row_v, width);
    MergeUVRowFn(row_u, row_v, dst_uv, halfwidth);
    ABGRToYRow(src_abgr, dst_y, width);
  }
  free_aligned_buffer_64(row_u);
  return 0;
}
