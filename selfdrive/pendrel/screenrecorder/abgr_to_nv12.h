#pragma once

#include <cstdint>

// Converts a frame of 4 bytes per pixel (R G B A in memory, the order libyuv calls ABGR) to NV12:
// a Y plane and an interleaved U/V plane of (height + 1) / 2 rows. A negative `height` reads the
// source bottom-up. Returns 0, or -1 on a null pointer, `width` <= 0 or `height` == 0.
int ABGRToNV12(const uint8_t *src_abgr, int src_stride_abgr, uint8_t *dst_y, int dst_stride_y,
               uint8_t *dst_uv, int dst_stride_uv, int width, int height);
