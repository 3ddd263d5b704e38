#pragma once

// Helpers of the encoder tests: synthetic moving NV12 frames, how close decoded pictures come to
// them, and the box layout of the MP4 files the encoder writes.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/ffprobe.h"
#include "tests/support/nv12_pictures.h"

// One NV12 picture with tight rows, content moving from frame to frame.
struct Nv12Frame {
  int width, height;
  std::vector<uint8_t> y, uv;
  Nv12Frame(int w, int h, int index) : width(w), height(h), y((size_t)w * h), uv((size_t)w * (h / 2)) {
    for (int r = 0; r < h; r++) {
      for (int c = 0; c < w; c++) {
        int v = (c + 3 * index) ^ (r + 2 * index);
        bool box = std::abs(c - (index * 7) % w) < w / 8 && std::abs(r - h / 2) < h / 8;
        y[(size_t)r * w + c] = box ? 235 : (uint8_t)(16 + (v & 0x7F) + (r * 64) / h);
      }
    }
    for (int r = 0; r < h / 2; r++) {
      for (int c = 0; c < w / 2; c++) {
        uv[(size_t)r * w + 2 * c] = (uint8_t)(128 + ((c + index) % 32) - 16);
        uv[(size_t)r * w + 2 * c + 1] = (uint8_t)(128 + ((r + index) % 32) - 16);
      }
    }
  }
};

// The top-left `w`×`h` of a larger picture.
inline Nv12Frame crop_of(const Nv12Frame &src, int w, int h) {
  Nv12Frame out(w, h, 0);
  for (int r = 0; r < h; r++) std::copy_n(&src.y[(size_t)r * src.width], w, &out.y[(size_t)r * w]);
  for (int r = 0; r < h / 2; r++) std::copy_n(&src.uv[(size_t)r * src.width], w, &out.uv[(size_t)r * w]);
  return out;
}

// Peak signal-to-noise ratio of a decoded picture against its source, luma and chroma apart.
struct PicturePsnr {
  double y, uv;
};
inline PicturePsnr psnr_of(const Nv12Frame &src, const std::vector<uint8_t> &decoded) {
  const size_t y_size = src.y.size();
  return {psnr(src.y.data(), decoded.data(), y_size), psnr(src.uv.data(), decoded.data() + y_size, src.uv.size())};
}

// The top-level boxes of an MP4 file, in order ("ftyp", "free", "mdat", "moov").
inline std::vector<std::string> top_level_boxes(const std::string &file) {
  std::vector<std::string> boxes;
  FILE *f = fopen(file.c_str(), "rb");
  if (!f) return boxes;
  fseek(f, 0, SEEK_END);
  const long size = ftell(f);
  long pos = 0;
  uint8_t h[16];
  while (pos + 8 <= size && fseek(f, pos, SEEK_SET) == 0 && fread(h, 1, 8, f) == 8) {
    uint64_t box = (uint64_t)h[0] << 24 | h[1] << 16 | h[2] << 8 | h[3];
    if (box == 1 && fread(h + 8, 1, 8, f) == 8) {
      box = 0;
      for (int i = 8; i < 16; i++) box = box << 8 | h[i];
    } else if (box == 0) {
      box = (uint64_t)(size - pos);  // to the end of the file
    }
    boxes.emplace_back(reinterpret_cast<char *>(h + 4), 4);
    if (box < 8) break;
    pos += (long)box;
  }
  fclose(f);
  return boxes;
}
