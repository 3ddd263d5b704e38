#pragma once

// The device vendor's additions to the OpenMAX IL 1.1 headers beside this one: the values its video
// encoder components use that the standard lacks, and the media-info rules that fix the layout
// and size of an NV12 input buffer. Both the encoder and the component include this one header,
// so the layout has a single definition.

#include "OMX_Core.h"
#include "OMX_IVCommon.h"
#include "OMX_Video.h"

// NV12 with the Y stride aligned to 128 and the planes' scanlines to 32 / 16.
#define OMX_QCOM_COLOR_FormatYUV420PackedSemiPlanar32m ((OMX_COLOR_FORMATTYPE)0x7FA30C04)

// HEVC coding type and its profile and level values.
#define OMX_VIDEO_CodingHEVC ((OMX_VIDEO_CODINGTYPE)11)
// HEVC levels are one bit each, main and high tier alternating from level 1 upwards
// (bit 0 main tier 1, bit 1 high tier 1, bit 2 main tier 2, ...).
#define OMX_VIDEO_HEVCProfileMain 0x1
#define OMX_VIDEO_HEVCMainTierLevel5 0x4000
#define OMX_VIDEO_HEVCHighTierLevel5 0x8000

// Colour format selector of the media-info rules below.
#define COLOR_FMT_NV12 0

static inline unsigned int venus_align(unsigned int v, unsigned int a) { return (v + a - 1) / a * a; }

// Bytes per row of both planes.
static inline unsigned int VENUS_Y_STRIDE(int color_fmt, int width) {
  (void)color_fmt;
  return width <= 0 ? 0 : venus_align((unsigned int)width, 128);
}

// Rows of the Y plane, padding included; the UV plane starts after them.
static inline unsigned int VENUS_Y_SCANLINES(int color_fmt, int height) {
  (void)color_fmt;
  return height <= 0 ? 0 : venus_align((unsigned int)height, 32);
}

// Rows of the interleaved UV plane, padding included.
static inline unsigned int VENUS_UV_SCANLINES(int color_fmt, int height) {
  (void)color_fmt;
  return height <= 0 ? 0 : venus_align((unsigned int)height / 2, 16);
}

// Whole buffer: both planes, the trailing metadata area and page rounding.
static inline unsigned int VENUS_BUFFER_SIZE(int color_fmt, int width, int height) {
  if (width <= 0 || height <= 0) return 0;
  unsigned int stride = VENUS_Y_STRIDE(color_fmt, width);
  unsigned int planes = stride * (VENUS_Y_SCANLINES(color_fmt, height) + VENUS_UV_SCANLINES(color_fmt, height));
  unsigned int extra = 8 * stride > 16384 ? 8 * stride : 16384;
  return venus_align(planes + extra + 4096, 4096);
}
