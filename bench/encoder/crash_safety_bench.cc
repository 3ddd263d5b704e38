// The second part of the encoder benchmark: the cost of crash-safe segments, and the time
// recovery takes.
//
// 1. CPU and bytes written per recorded second for the same coded frames (a 1928×1208 clip at
//    2 560 000 bit/s, 10 frames/s), three ways, in the same run:
//      plain      libavformat writing the MP4 by name, as the writer did before crash safety:
//                 the baseline; a crash leaves it unplayable
//      journal    SegmentWriter: each frame flushed as it is muxed, a journal record for it, a
//                 sync every second, the index appended at close (the mechanism in use)
//      fragments  fragmented MP4 (one fragment per sync frame), flushed and synced the same way,
//                 turned into the usual MP4 at close (the other candidate)
//    Recording is time-compressed: frames come `speedup` times faster than 10 per second and
//    the sync interval shrinks by the same factor, so a recorded second costs as many syncs and
//    bytes as in real time. "close" is the time the last step takes on the recorder's thread.
// 2. recover_segment on a segment left by a writer killed after `seconds` of frames, against
//    reading the file once: cold (its pages dropped from the cache first) and warm.
//
#include "bench/encoder/crash_safety_bench.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bench/encoder/panning_scene.h"
#include "bench/encoder/process_cost.h"
#include "platform/omx_core/codec_backend.h"
#include "selfdrive/pendrel/screenrecorder/mp4_segment_writer.h"
#include "selfdrive/pendrel/screenrecorder/segment_recovery.h"
#include "selfdrive/pendrel/screenrecorder/tests/h264_clip.h"
#include "selfdrive/pendrel/screenrecorder/tests/plain_mp4_writer.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

using Clock = std::chrono::steady_clock;

constexpr int W = 1928, H = 1208, FPS = 10, BITRATE = 2560000;
constexpr int CLIP_FRAMES = 64;  // four groups of pictures, repeated as long as needed

// Frame i of a recording: the clip over and over, timestamps going on.
const H264Clip::Packet &frame_of(const H264Clip &clip, int i) {
  return clip.packets[i % clip.packets.size()];
}
int64_t pts_us(int i) {
  return (int64_t)(i + 1) * 1000000 / FPS;
}

// The clip, coded as the encoder component codes it: rate control at the target with its peak,
// a sync frame every 16.
H264Clip make_clip() {
  Scene scene(W, H);
  H264ClipSettings s;
  s.width = W;
  s.height = H;
  s.frames = CLIP_FRAMES;
  s.bitrate = BITRATE;
  s.peak_bitrate = (int64_t)BITRATE * omx_core::kVbrPeakPercent / 100;
  s.preset = "veryfast";
  return encode_h264_clip(s, [&](int i, uint8_t *y, int ys, uint8_t *uv, int uvs) {
    const uint8_t *py, *puv;
    scene.window(i, &py, &puv);
    for (int r = 0; r < H; r++) memcpy(y + r * ys, py + (size_t)r * scene.w, W);
    for (int r = 0; r < H / 2; r++) memcpy(uv + r * uvs, puv + (size_t)r * scene.w, W);
  });
}

// One way of writing a segment.
class Writer {
 public:
  virtual ~Writer() = default;
  virtual void frame(const H264Clip::Packet &p, int64_t pts_us) = 0;
  virtual void close() = 0;
};

class PlainWriter : public Writer {
 public:
  PlainWriter(const std::string &path, const H264Clip &clip) : mux_(path, W, H, FPS, clip.config) {}
  void frame(const H264Clip::Packet &p, int64_t pts_us) override {
    mux_.write_frame(p.data.data(), p.data.size(), pts_us, p.sync);
  }
  void close() override { mux_.close(); }

 private:
  PlainMp4Writer mux_;
};

class JournalWriter : public Writer {
 public:
  JournalWriter(const std::string &dir, const std::string &name, const H264Clip &clip, int sync_ms)
      : w_(SegmentWriterOptions{sync_ms}) {
    if (!w_.open(dir, name, {W, H, FPS, true})) exit(1);
    w_.write_header(clip.config.data(), clip.config.size());
  }
  void frame(const H264Clip::Packet &p, int64_t pts_us) override {
    w_.write_frame(p.data.data(), p.data.size(), pts_us, p.sync);
  }
  void close() override { w_.close(); }

 private:
  SegmentWriter w_;
};

// A fragment per sync frame, synced on the same schedule; at close the fragments are copied into
// the usual MP4, which replaces them.
class FragmentWriter : public Writer {
 public:
  FragmentWriter(const std::string &path, const H264Clip &clip, int sync_ms)
      : path_(path),
        sync_interval_(std::chrono::milliseconds(sync_ms)),
        mux_(path + ".part.mp4", W, H, FPS, clip.config, "frag_keyframe+empty_moov+default_base_moof") {
    fd_ = open((path + ".part.mp4").c_str(), O_RDONLY);
    last_sync_ = Clock::now();
  }
  void frame(const H264Clip::Packet &p, int64_t pts_us) override {
    mux_.write_frame(p.data.data(), p.data.size(), pts_us, p.sync);
    if (Clock::now() - last_sync_ >= sync_interval_) {
      fdatasync(fd_);
      last_sync_ = Clock::now();
    }
  }
  void close() override {
    mux_.close();
    AVFormatContext *in = nullptr, *out = nullptr;
    avformat_open_input(&in, (path_ + ".part.mp4").c_str(), nullptr, nullptr);
    avformat_alloc_output_context2(&out, nullptr, nullptr, path_.c_str());
    AVStream *st = avformat_new_stream(out, nullptr);
    avcodec_parameters_copy(st->codecpar, in->streams[0]->codecpar);
    if (avio_open(&out->pb, path_.c_str(), AVIO_FLAG_WRITE) < 0 || avformat_write_header(out, nullptr) < 0) {
      fprintf(stderr, "cannot write %s\n", path_.c_str());
      exit(1);
    }
    AVPacket *pkt = av_packet_alloc();
    while (av_read_frame(in, pkt) >= 0) {
      av_packet_rescale_ts(pkt, in->streams[0]->time_base, st->time_base);
      pkt->pos = -1;
      av_write_frame(out, pkt);
      av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    av_write_trailer(out);
    avio_closep(&out->pb);
    avformat_free_context(out);
    avformat_close_input(&in);
    int fd = open(path_.c_str(), O_RDONLY);
    fdatasync(fd);
    ::close(fd);
    ::close(fd_);
    unlink((path_ + ".part.mp4").c_str());
  }

 private:
  std::string path_;
  Clock::duration sync_interval_;
  PlainMp4Writer mux_;
  int fd_;
  Clock::time_point last_sync_;
};

struct Cost {
  double cpu_s = 0, close_s = 0;
  int64_t written = 0;
};

Cost record(const H264Clip &clip, int frames, int speedup,
            const std::function<std::unique_ptr<Writer>()> &make) {
  Cost c;
  const double cpu0 = self_cpu();
  const int64_t written0 = self_written_bytes();
  std::unique_ptr<Writer> w = make();
  const auto interval = std::chrono::microseconds(1000000 / FPS / speedup);
  auto next = Clock::now();
  for (int i = 0; i < frames; i++) {
    std::this_thread::sleep_until(next);  // the camera's (compressed) pace
    next += interval;
    w->frame(frame_of(clip, i), pts_us(i));
  }
  const auto close0 = Clock::now();
  w->close();
  c.close_s = std::chrono::duration<double>(Clock::now() - close0).count();
  c.cpu_s = self_cpu() - cpu0;
  c.written = self_written_bytes() - written0;
  return c;
}

void drop_from_cache(const std::string &path) {
  int fd = open(path.c_str(), O_RDONLY);
  fdatasync(fd);
  posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  close(fd);
}

double seconds_of(const std::function<void()> &f) {
  const auto t0 = Clock::now();
  f();
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

void read_whole(const std::string &path) {
  int fd = open(path.c_str(), O_RDONLY);
  std::vector<char> buf(1 << 20);
  while (read(fd, buf.data(), buf.size()) > 0) {
  }
  close(fd);
}

// The files a writer killed after `frames` frames leaves.
void killed_segment(const H264Clip &clip, const std::string &dir, int frames) {
  pid_t pid = fork();
  if (pid == 0) {
    SegmentWriter w;
    if (!w.open(dir, "killed.mp4", {W, H, FPS, true})) _exit(1);
    w.write_header(clip.config.data(), clip.config.size());
    for (int i = 0; i < frames; i++) {
      const H264Clip::Packet &p = frame_of(clip, i);
      w.write_frame(p.data.data(), p.data.size(), pts_us(i), p.sync);
    }
    kill(getpid(), SIGKILL);
  }
  waitpid(pid, nullptr, 0);
}

}  // namespace

int run_crash_safety_bench(int seconds, int speedup, std::string dir) {
  bool own_dir = dir.empty();
  if (own_dir) {
    std::string tmpl = (std::filesystem::temp_directory_path() / "crash_safety_bench_XXXXXX").string();
    dir = mkdtemp(tmpl.data());
  }
  const int frames = seconds * FPS;
  const int sync_ms = 1000 / speedup;
  const H264Clip clip = make_clip();

  printf("Crash safety: %d s recorded at %dx%d, %d bit/s, %dx compressed time, same frames, same run\n",
         seconds, W, H, BITRATE, speedup);
  struct Row {
    const char *name;
    std::function<std::unique_ptr<Writer>()> make;
  };
  const Row rows[] = {
      {"plain", [&] { return std::make_unique<PlainWriter>(dir + "/plain.mp4", clip); }},
      {"journal", [&] { return std::make_unique<JournalWriter>(dir, "journal.mp4", clip, sync_ms); }},
      {"fragments", [&] { return std::make_unique<FragmentWriter>(dir + "/fragments.mp4", clip, sync_ms); }},
  };
  printf("%-10s %18s %7s %24s %7s %10s %12s\n", "writer", "CPU ms/recorded s", "ratio",
         "bytes written/recorded s", "ratio", "close ms", "file bytes");
  Cost base;
  for (const Row &row : rows) {
    Cost c = record(clip, frames, speedup, row.make);
    if (!strcmp(row.name, "plain")) base = c;
    std::error_code ec;
    const auto size = std::filesystem::file_size(dir + "/" + row.name + ".mp4", ec);
    printf("%-10s %18.2f %7.2f %24.0f %7.2f %10.1f %12lld\n", row.name, 1000 * c.cpu_s / seconds,
           c.cpu_s / base.cpu_s, (double)c.written / seconds, (double)c.written / base.written,
           1000 * c.close_s, (long long)size);
  }

  killed_segment(clip, dir, frames);
  std::filesystem::copy_file(dir + "/killed.mp4", dir + "/warm.mp4");
  std::filesystem::copy_file(dir + "/killed.mp4.lock", dir + "/warm.mp4.lock");
  const std::string killed = dir + "/killed.mp4";
  std::string error;
  drop_from_cache(killed);
  const double read_cold = seconds_of([&] { read_whole(killed); });
  drop_from_cache(killed);
  bool ok = true;
  const double recover_cold = seconds_of([&] { ok = recover_segment(killed, &error) && ok; });
  read_whole(dir + "/warm.mp4");
  const double read_warm = seconds_of([&] { read_whole(dir + "/warm.mp4"); });
  const double recover_warm = seconds_of([&] { ok = recover_segment(dir + "/warm.mp4", &error) && ok; });
  printf(
      "recover_segment on a %d s segment (%.1f MB): cold %.3f s (%.2f x reading it once, %.3f s), warm %.3f "
      "s "
      "(%.2f x, %.3f s)%s%s\n",
      seconds, std::filesystem::file_size(killed) / 1e6, recover_cold, recover_cold / read_cold, read_cold,
      recover_warm, recover_warm / read_warm, read_warm, ok ? "" : "; FAILED: ", error.c_str());

  if (own_dir) std::filesystem::remove_all(dir);
  return ok ? 0 : 1;
}
