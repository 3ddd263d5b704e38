#pragma once

// A synthetic road picture for the simulated camera: a moving diagonal pattern, a box that
// sweeps across the frame and the frame number and time in large digits, so a recorded video
// visibly plays and each frame can be told apart.

#include <cstdint>

// Paints one NV12 frame: `y` holds `height` rows of `stride` bytes, `uv` the interleaved chroma
// plane of height / 2 rows with the same stride.
void paint_frame(uint8_t *y, uint8_t *uv, int width, int height, int stride, uint64_t frame_number, double seconds);
