#pragma once

// The encoder benchmarks' frames: windows onto a textured scene larger than the frame, panning
// back and forth, so that motion search has real work to do.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

constexpr int PAN_X = 512, PAN_Y = 128;

// A scene larger than the frame; frame i is the window at a ping-pong panning offset.
struct Scene {
  int w, h;
  std::vector<uint8_t> y, uv;
  Scene(int fw, int fh) : w(fw + PAN_X), h(fh + PAN_Y), y((size_t)w * h), uv((size_t)w * (h / 2)) {
    std::mt19937 rng(42);
    std::uniform_int_distribution<int> noise(-10, 10);
    for (int r = 0; r < h; r++) {
      for (int c = 0; c < w; c++) {
        double v = 110 + 50 * std::sin(c / 37.0) * std::cos(r / 23.0) + (((c / 24) + (r / 24)) & 1) * 25 +
                   30 * std::sin((c + 2 * r) / 211.0) + noise(rng);
        y[(size_t)r * w + c] = (uint8_t)std::min(235.0, std::max(16.0, v));
      }
    }
    for (int r = 0; r < h / 2; r++) {
      for (int c = 0; c < w / 2; c++) {
        uv[(size_t)r * w + 2 * c] = (uint8_t)(128 + 20 * std::sin(c / 19.0) + noise(rng) / 2);
        uv[(size_t)r * w + 2 * c + 1] = (uint8_t)(128 + 20 * std::cos(r / 13.0) + noise(rng) / 2);
      }
    }
  }
  static int bounce(int t, int range) {
    int period = 2 * range;
    int p = t % period;
    return p < range ? p : period - p;
  }
  // Offsets of frame i (even, so the chroma planes line up).
  void window(int i, const uint8_t **py, const uint8_t **puv) const {
    int ox = bounce(i * 6, PAN_X) & ~1, oy = bounce(i * 2, PAN_Y) & ~1;
    *py = y.data() + (size_t)oy * w + ox;
    *puv = uv.data() + (size_t)(oy / 2) * w + ox;
  }
};
