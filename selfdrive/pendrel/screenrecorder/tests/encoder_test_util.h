#pragma once

// Helpers of the encoder tests: a private temporary directory, synthetic moving NV12 frames, and
// ffprobe and ffmpeg, run as independent judges of the files the encoder writes.

#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

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

struct CommandResult {
  int status;
  std::string out;
};

inline CommandResult run_command(const std::string &cmd) {
  CommandResult r{-1, ""};
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), p)) > 0) r.out.append(buf, n);
  int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

// ffprobe's JSON report of `file`; `args` select what it shows. Null on failure.
inline nlohmann::json ffprobe_json(const std::string &args, const std::string &file) {
  CommandResult r = run_command(std::string(FFPROBE_PATH) + " -v error -of json " + args + " '" + file + "' 2>/dev/null");
  if (r.status != 0) return nullptr;
  return nlohmann::json::parse(r.out, nullptr, false);
}

// Errors the decoder reports while decoding every frame of `file` (empty when it plays cleanly).
inline std::string ffprobe_decode_errors(const std::string &args, const std::string &file) {
  CommandResult r = run_command(std::string(FFPROBE_PATH) + " -v error " + args + " -count_frames -show_entries stream=nb_read_frames -of csv=p=0 '" + file + "' 2>&1 >/dev/null");
  return r.out;
}

// The top-left `w`×`h` of a larger picture.
inline Nv12Frame crop_of(const Nv12Frame &src, int w, int h) {
  Nv12Frame out(w, h, 0);
  for (int r = 0; r < h; r++) std::copy_n(&src.y[(size_t)r * src.width], w, &out.y[(size_t)r * w]);
  for (int r = 0; r < h / 2; r++) std::copy_n(&src.uv[(size_t)r * src.width], w, &out.uv[(size_t)r * w]);
  return out;
}

// Every frame of `file` decoded by ffmpeg into tight NV12 pictures of `w`×`h` (Y rows, then UV
// rows); empty when ffmpeg fails.
inline std::vector<std::vector<uint8_t>> decode_nv12(const std::string &file, int w, int h) {
  std::vector<std::vector<uint8_t>> frames;
  CommandResult r = run_command(std::string(FFMPEG_PATH) + " -v error -i '" + file +
                                "' -f rawvideo -pix_fmt nv12 - 2>/dev/null");
  const size_t frame_size = (size_t)w * h + (size_t)w * (h / 2);
  if (r.status != 0 || r.out.size() % frame_size != 0) return frames;
  for (size_t off = 0; off < r.out.size(); off += frame_size) {
    frames.emplace_back(r.out.begin() + off, r.out.begin() + off + frame_size);
  }
  return frames;
}

inline double psnr(const uint8_t *a, const uint8_t *b, size_t n) {
  double sum = 0;
  for (size_t i = 0; i < n; i++) {
    double d = (double)a[i] - b[i];
    sum += d * d;
  }
  if (sum == 0) return 99.0;
  return 10.0 * std::log10(255.0 * 255.0 * n / sum);
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

// Frames the decoder reads from `file`, or -1 when it cannot be read at all.
inline int decoded_frame_count(const std::string &file) {
  nlohmann::json j = ffprobe_json("-count_frames -select_streams v:0 -show_entries stream=nb_read_frames", file);
  if (j.is_null() || j["streams"].empty() || !j["streams"][0].contains("nb_read_frames")) return -1;
  return std::stoi(j["streams"][0]["nb_read_frames"].get<std::string>());
}
