#pragma once

// Pictures decoded by ffmpeg, an independent decoder, as tight NV12 (Y rows, then interleaved UV
// rows), and how close two such pictures are.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Hands every frame of `file`, decoded by ffmpeg as `width`×`height` NV12, to fn(index, picture)
// as it comes; stops early when fn returns false. `filter` is an ffmpeg video filter ("scale=W:H"
// to make pictures of another size fit); without one, pictures of another size fail. True when
// ffmpeg decoded the whole file into whole pictures (or fn stopped it); the decoding is bounded by
// `timeout`.
bool for_each_nv12_frame(const std::string &file, int width, int height,
                         const std::function<bool(int, const std::vector<uint8_t> &)> &fn,
                         const std::string &filter = "",
                         std::chrono::milliseconds timeout = std::chrono::seconds(120));

// Every frame of `file` as `width`×`height` NV12; empty when ffmpeg fails or the pictures are of
// another size.
std::vector<std::vector<uint8_t>> decode_nv12(const std::string &file, int width, int height);

// Peak signal-to-noise ratio in dB of `n` bytes of two pictures (99 for identical ones).
double psnr(const uint8_t *a, const uint8_t *b, size_t n);
