// Encoder cost, rate accuracy, and the cost of crash-safe segments.
//
// 1. CPU time per encoded frame through OmxEncoder (one copy into the input buffer, the software
//    OpenMAX component, the MP4 muxer) against the ffmpeg command-line encoder with libx264 and
//    the same settings, fed the same frames in the same run, at 1928×1208 and 1280×720.
// 2. Bit rate of a 60 s moving clip at 10 frames/s against the 2 560 000 bit/s target.
// 3. Crash safety and recovery (crash_safety_bench.h).
//
// Usage: encoder_bench [frames [clip_seconds]] [--part encoding|crash-safety]
//                      [--seconds S] [--speedup K] [--dir DIR]
//   frames, clip_seconds: figures 1 and 2 (default 100, 60); --seconds, --speedup, --dir: figure 3
//   (default 180 s recorded at 20 times the camera's pace, in a temporary directory).

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench/encoder/crash_safety_bench.h"
#include "bench/encoder/panning_scene.h"
#include "bench/encoder/process_cost.h"
#include "platform/omx_core/codec_backend.h"
#include "selfdrive/pendrel/screenrecorder/omx_encoder.h"

namespace {

constexpr int FPS = 10;
constexpr int BITRATE = 2560000;

// Encodes `n` frames of the scene through OmxEncoder into dir/name; returns the CPU seconds spent.
double encode_with_omx(const Scene &s, int fw, int fh, int n, const std::string &dir,
                       const std::string &name) {
  OmxEncoder e(dir.c_str(), fw, fh, FPS, BITRATE, false, false);
  double t0 = self_cpu();
  if (!e.encoder_open(name.c_str())) {
    fprintf(stderr, "cannot open %s/%s\n", dir.c_str(), name.c_str());
    exit(1);
  }
  for (int i = 0; i < n; i++) {
    const uint8_t *py, *puv;
    s.window(i, &py, &puv);
    e.encode_frame_nv12(py, s.w, puv, s.w, fw, fh, (uint64_t)(i + 1) * 100000000ULL);
  }
  e.encoder_close();
  return self_cpu() - t0;
}

// The same frames piped into ffmpeg with libx264 set up like the component; returns the CPU
// seconds ffmpeg spent (its own rusage), or a negative value on failure.
double encode_with_ffmpeg(const Scene &s, int fw, int fh, int n, const std::string &out) {
  int pipefd[2];
  if (pipe(pipefd) != 0) return -1;
  char size[32], rate[32], peak[32];
  snprintf(size, sizeof(size), "%dx%d", fw, fh);
  // The component's rate control: the target, its variable-rate peak, a one-second buffer.
  snprintf(rate, sizeof(rate), "%dk", BITRATE / 1000);
  snprintf(peak, sizeof(peak), "%dk", BITRATE / 1000 * omx_core::kVbrPeakPercent / 100);
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    dup2(pipefd[0], 0);
    close(pipefd[0]);
    close(pipefd[1]);
    execlp(FFMPEG_PATH, "ffmpeg", "-nostdin", "-v", "error", "-f", "rawvideo", "-pix_fmt", "nv12", "-s", size,
           "-r", "10", "-i", "pipe:0", "-c:v", "libx264", "-preset", "veryfast", "-profile:v", "high",
           "-level", "5", "-threads", "1", "-b:v", rate, "-maxrate", peak, "-bufsize", rate, "-g", "16",
           "-keyint_min", "16", "-sc_threshold", "0", "-bf", "0", "-refs", "1", "-x264-params",
           "lookahead-threads=1:rc-lookahead=0:sync-lookahead=0:mbtree=0:cabac=1:8x8dct=1:weightp=1:"
           "constrained-intra=1:repeat-headers=0",
           "-f", "mp4", "-y", out.c_str(), (char *)nullptr);
    _exit(127);
  }
  close(pipefd[0]);
  std::vector<uint8_t> frame((size_t)fw * fh * 3 / 2);
  bool ok = true;
  for (int i = 0; i < n && ok; i++) {
    const uint8_t *py, *puv;
    s.window(i, &py, &puv);
    for (int r = 0; r < fh; r++) memcpy(&frame[(size_t)r * fw], py + (size_t)r * s.w, fw);
    for (int r = 0; r < fh / 2; r++)
      memcpy(&frame[(size_t)fw * fh + (size_t)r * fw], puv + (size_t)r * s.w, fw);
    size_t off = 0;
    while (off < frame.size()) {
      ssize_t k = write(pipefd[1], frame.data() + off, frame.size() - off);
      if (k <= 0) {
        ok = false;
        break;
      }
      off += (size_t)k;
    }
  }
  close(pipefd[1]);
  int status;
  rusage ru;
  if (wait4(pid, &status, 0, &ru) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0 || !ok) return -1;
  return cpu_seconds(ru);
}

off_t file_size(const std::string &p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 ? st.st_size : -1;
}

}  // namespace

int main(int argc, char **argv) {
  int frames = 100, clip_seconds = 60;
  int seconds = 180, speedup = 20;
  std::string part, writer_dir;
  for (int i = 1, positional = 0; i < argc; i++) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--part" && has_value)
      part = argv[++i];
    else if (arg == "--seconds" && has_value)
      seconds = atoi(argv[++i]);
    else if (arg == "--speedup" && has_value)
      speedup = atoi(argv[++i]);
    else if (arg == "--dir" && has_value)
      writer_dir = argv[++i];
    else if (positional++ == 0)
      frames = atoi(argv[i]);
    else
      clip_seconds = atoi(argv[i]);
  }
  if (part == "crash-safety") return run_crash_safety_bench(seconds, speedup, writer_dir);
  signal(SIGPIPE, SIG_IGN);
  std::string tmpl = (std::filesystem::temp_directory_path() / "encoder_bench_XXXXXX").string();
  std::string dir = mkdtemp(tmpl.data());

  printf("Encoded frames per second per core, %d frames of 10 frame/s content, same frames, same run\n",
         frames);
  printf("%-10s %14s %14s %22s\n", "size", "OmxEncoder", "ffmpeg x264", "CPU time ratio (<=1.1)");
  int failures = 0;
  const int sizes[][2] = {{1928, 1208}, {1280, 720}};
  for (auto &sz : sizes) {
    Scene scene(sz[0], sz[1]);
    char label[32];
    snprintf(label, sizeof(label), "%dx%d", sz[0], sz[1]);
    // The segment writer never overwrites a file: one name per size.
    const std::string ours_name = std::string("omx_") + label + ".mp4";
    const std::string theirs_path = dir + "/ffmpeg_" + label + ".mp4";
    double ours = encode_with_omx(scene, sz[0], sz[1], frames, dir, ours_name);
    double theirs = encode_with_ffmpeg(scene, sz[0], sz[1], frames, theirs_path);
    if (theirs <= 0) {
      printf("%-10s %14.1f %14s %22s\n", label, frames / ours, "failed", "-");
      failures++;
      continue;
    }
    printf("%-10s %14.1f %14.1f %22.3f\n", label, frames / ours, frames / theirs, ours / theirs);
    printf("%-10s file sizes: OmxEncoder %lld bytes, ffmpeg %lld bytes\n", "",
           (long long)file_size(dir + "/" + ours_name), (long long)file_size(theirs_path));
  }

  {
    const int n = clip_seconds * FPS;
    Scene scene(1928, 1208);
    encode_with_omx(scene, 1928, 1208, n, dir, "clip.mp4");
    double bits = 8.0 * (double)file_size(dir + "/clip.mp4");
    double rate = bits / clip_seconds;
    printf(
        "Bit rate of a %d s moving clip at 1928x1208: %.0f bit/s, %.3f of the %d bit/s target (within "
        "0.85..1.15: %s)\n",
        clip_seconds, rate, rate / BITRATE, BITRATE, std::fabs(rate / BITRATE - 1) <= 0.15 ? "yes" : "no");
  }

  if (getenv("ENCODER_BENCH_KEEP")) {
    printf("output kept in %s\n", dir.c_str());
  } else {
    std::filesystem::remove_all(dir);
  }
  if (part != "encoding" && run_crash_safety_bench(seconds, speedup, writer_dir) != 0) failures++;
  return failures ? 1 : 0;
}
