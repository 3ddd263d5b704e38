#pragma once

// Helpers of the encoder tests: a private temporary directory, synthetic moving NV12 frames and
// ffprobe, run as an independent judge of the files the encoder writes.

#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

class ScratchDir {
 public:
  ScratchDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "omx_encoder_test_XXXXXX").string();
    path_ = mkdtemp(tmpl.data());
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir &) = delete;
  ScratchDir &operator=(const ScratchDir &) = delete;
  const std::string &path() const { return path_; }
  std::string operator/(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

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
