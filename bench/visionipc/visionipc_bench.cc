// Frame hand-off between two processes at the road camera's size (1928 x 1208 NV12), paced at
// the camera's 20 frames/s and as fast as possible. Latency runs from the producer's send to
// the consumer's receive returning (both read CLOCK_BOOTTIME, shared by all processes).
//
//   vision IPC: the producer fills a shared buffer and publishes a 48-byte packet naming it;
//   baseline:   the producer publishes the whole frame on a msgq topic, the consumer copies it out.
//
// In both, the producer writes every byte of each frame first, as the camera does; that write
// is not part of the latency. The first WARMUP frames of a run only fault in the pages of the
// queue and of the shared buffers and are left out of the figures.
//
// Usage: visionipc_bench [frames_paced] [frames_fast]

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <poll.h>
#include <random>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/timing.h"
#include "common/util.h"
#include "strand/messaging/messaging.h"
#include "strand/visionipc/visionipc_client.h"
#include "strand/visionipc/visionipc_server.h"

namespace {

constexpr size_t WIDTH = 1928, HEIGHT = 1208;
constexpr size_t FRAME_BYTES = WIDTH * HEIGHT * 3 / 2;
constexpr int NUM_BUFFERS = 4;
constexpr size_t WARMUP = 10;
const char *BASELINE_TOPIC = "visionipc_bench_frames";

struct RunResult {
  std::vector<uint64_t> latency_ns;
  size_t sent = 0;
  size_t intact = 0;         // frames whose pixels were still the announced frame when read
  size_t topic_bytes = 0;    // bytes that crossed the topic
  double publish_rate = 0;    // frames/s the producer published, from the send stamps

  // Counts one received frame; the warm-up frames are left out.
  void add(uint64_t frame_no, uint64_t latency, size_t bytes, bool frame_intact, uint64_t now) {
    if (frame_no < WARMUP) return;
    const uint64_t sent_ns = now - latency;
    if (latency_ns.empty()) {
      first_frame_no = frame_no;
      first_sent_ns = sent_ns;
    } else if (sent_ns > first_sent_ns) {
      publish_rate = (frame_no - first_frame_no) / ((sent_ns - first_sent_ns) / 1e9);
    }
    latency_ns.push_back(latency);
    topic_bytes += bytes;
    intact += frame_intact;
  }
  uint64_t first_frame_no = 0;
  uint64_t first_sent_ns = 0;
};

// A one-byte message channel between the two processes of a run.
struct Pipe {
  int fd[2];
  Pipe() {
    if (pipe(fd) != 0) abort();
  }
  ~Pipe() {
    close(fd[0]);
    close(fd[1]);
  }
  Pipe(const Pipe &) = delete;
  Pipe &operator=(const Pipe &) = delete;
  void put(char c) {
    if (util::retry_eintr([&] { return write(fd[1], &c, 1); }) != 1) abort();
  }
  bool get(int timeout_ms) {
    pollfd p = {fd[0], POLLIN, 0};
    const uint64_t deadline = nanos_since_boot() + (uint64_t)timeout_ms * 1000000;
    while (nanos_since_boot() < deadline) {
      int r = poll(&p, 1, 100);
      if (r == 1) {
        char c;
        return util::retry_eintr([&] { return read(fd[0], &c, 1); }) == 1;
      }
      if (r < 0 && errno != EINTR) return false;
    }
    return false;
  }
};

// Paces frame i of a run started at `start` (fps 0: no pacing).
void pace(uint64_t start, size_t i, int fps) {
  if (fps <= 0) return;
  const uint64_t due = start + i * (1000000000ull / fps);
  const uint64_t now = nanos_since_boot();
  if (due > now) std::this_thread::sleep_for(std::chrono::nanoseconds(due - now));
}

// The frame number stamped in the first 8 bytes of the image, and the send time behind it.
void stamp(uint8_t *frame, uint64_t frame_no, uint64_t sent_ns) {
  memcpy(frame, &frame_no, 8);
  memcpy(frame + 8, &sent_ns, 8);
}
uint64_t stamped_frame_no(const uint8_t *frame) {
  uint64_t v;
  memcpy(&v, frame, 8);
  return v;
}

RunResult run_visionipc(size_t frames, int fps) {
  Pipe ready, go, done;
  fflush(stdout);  // the child's own output must not repeat ours
  pid_t pid = fork();
  if (pid == 0) {
    {
      VisionIpcServer server("imagerd");
      server.create_buffers(VISION_STREAM_ROAD, NUM_BUFFERS, false, WIDTH, HEIGHT);
      server.start_listener();
      ready.put('r');
      if (!go.get(30000)) _exit(1);
      const uint64_t start = nanos_since_boot();
      for (size_t i = 0; i < frames; i++) {
        pace(start, i, fps);
        VisionBuf *buf = server.get_buffer(VISION_STREAM_ROAD);
        memset(buf->addr, (int)(i & 0xff), buf->len);
        VisionIpcBufExtra extra = {};
        extra.frame_id = (uint32_t)i;
        extra.valid = true;
        extra.timestamp_sof = nanos_since_boot();
        stamp(buf->y, i, extra.timestamp_sof);
        server.send(buf, &extra, true);
      }
      done.get(30000);
    }
    _exit(0);
  }

  RunResult result;
  result.sent = frames > WARMUP ? frames - WARMUP : 0;
  if (!ready.get(30000)) abort();
  VisionIpcClient client("imagerd", VISION_STREAM_ROAD, false);
  while (!client.connect(false)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  go.put('g');
  int idle = 0;
  while (idle < 20) {
    VisionIpcBufExtra extra = {};
    VisionBuf *buf = client.recv(&extra, 100);
    const uint64_t now = nanos_since_boot();
    if (!buf) {
      idle++;
      continue;
    }
    idle = 0;
    // recv accepts packets of exactly sizeof(VisionIpcPacket) bytes
    result.add(extra.frame_id, now - extra.timestamp_sof, sizeof(VisionIpcPacket),
               stamped_frame_no(buf->y) == extra.frame_id, now);
    if (extra.frame_id + 1 == frames) break;
  }
  done.put('d');
  waitpid(pid, nullptr, 0);
  return result;
}

RunResult run_msgq_copy(size_t frames, int fps) {
  Pipe ready, go, done;
  fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    {
      std::unique_ptr<Context> ctx(Context::create());
      std::unique_ptr<PubSocket> pub(PubSocket::create(ctx.get(), BASELINE_TOPIC, false));
      if (!pub) _exit(1);
      std::vector<uint8_t> frame(FRAME_BYTES, 0x80);
      ready.put('r');
      if (!go.get(30000)) _exit(1);
      const uint64_t start = nanos_since_boot();
      for (size_t i = 0; i < frames; i++) {
        pace(start, i, fps);
        memset(frame.data(), (int)(i & 0xff), frame.size());
        stamp(frame.data(), i, nanos_since_boot());
        pub->send((char *)frame.data(), frame.size());
      }
      done.get(30000);
    }
    _exit(0);
  }

  RunResult result;
  result.sent = frames > WARMUP ? frames - WARMUP : 0;
  if (!ready.get(30000)) abort();
  std::unique_ptr<Context> ctx(Context::create());
  std::unique_ptr<SubSocket> sub(SubSocket::create(ctx.get(), BASELINE_TOPIC, "127.0.0.1", false, false));
  if (!sub) abort();
  std::unique_ptr<Poller> poller(Poller::create({sub.get()}));
  go.put('g');
  int idle = 0;
  while (idle < 20) {
    std::unique_ptr<Message> msg;
    if (!poller->poll(100).empty()) msg.reset(sub->receive(true));
    const uint64_t now = nanos_since_boot();
    if (!msg) {
      idle++;
      continue;
    }
    idle = 0;
    const uint8_t *data = (const uint8_t *)msg->getData();
    uint64_t frame_no, sent_ns;
    memcpy(&frame_no, data, 8);
    memcpy(&sent_ns, data + 8, 8);
    result.add(frame_no, now - sent_ns, msg->getSize(), true, now);  // the consumer holds its own copy
    if (frame_no + 1 == frames) break;
  }
  done.put('d');
  waitpid(pid, nullptr, 0);
  return result;
}

double percentile_us(std::vector<uint64_t> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t i = std::min(v.size() - 1, (size_t)(p / 100.0 * (v.size() - 1) + 0.5));
  return v[i] / 1000.0;
}

void report(const char *mode, const RunResult &vipc, const RunResult &copy) {
  auto line = [](const char *what, const RunResult &r) {
    const size_t n = r.latency_ns.size();
    printf("  %-20s p50 %8.1f us  p99 %9.1f us  received %zu/%zu (%zu intact)  %8.0f bytes/frame  published %7.1f frames/s\n",
           what, percentile_us(r.latency_ns, 50), percentile_us(r.latency_ns, 99), n, r.sent, r.intact,
           n ? (double)r.topic_bytes / n : 0.0, r.publish_rate);
  };
  printf("%s\n", mode);
  line("vision IPC (packet)", vipc);
  line("msgq frame copy", copy);
  const double p50 = percentile_us(vipc.latency_ns, 50), p99 = percentile_us(vipc.latency_ns, 99);
  const double bytes_vipc = vipc.latency_ns.empty() ? 0 : (double)vipc.topic_bytes / vipc.latency_ns.size();
  const double bytes_copy = copy.latency_ns.empty() ? 0 : (double)copy.topic_bytes / copy.latency_ns.size();
  printf("  ratio copy / vision IPC: p50 %.1fx, p99 %.1fx, bytes per frame %.0fx\n", p50 > 0 ? percentile_us(copy.latency_ns, 50) / p50 : 0,
         p99 > 0 ? percentile_us(copy.latency_ns, 99) / p99 : 0, bytes_vipc > 0 ? bytes_copy / bytes_vipc : 0);
}

}  // namespace

int main(int argc, char **argv) {
  const size_t paced_frames = argc > 1 ? strtoul(argv[1], nullptr, 10) : 200;
  const size_t fast_frames = argc > 2 ? strtoul(argv[2], nullptr, 10) : 500;

  // Private queue directory and socket names, removed at the end.
  std::random_device rd;
  const std::string prefix = "visionipc_bench_" + std::to_string(getpid()) + "_" + std::to_string(rd());
  std::filesystem::create_directory("/dev/shm/" + prefix);
  setenv("TAVRIN_PREFIX", prefix.c_str(), 1);

  printf("frame hand-off, %zux%zu NV12 (%zu bytes), %d shared buffers\n", WIDTH, HEIGHT, FRAME_BYTES, NUM_BUFFERS);
  RunResult vipc_paced = run_visionipc(paced_frames, 20);
  RunResult copy_paced = run_msgq_copy(paced_frames, 20);
  report("20 frames/s:", vipc_paced, copy_paced);
  RunResult vipc_fast = run_visionipc(fast_frames, 0);
  RunResult copy_fast = run_msgq_copy(fast_frames, 0);
  report("as fast as possible:", vipc_fast, copy_fast);

  std::error_code ec;
  std::filesystem::remove_all("/dev/shm/" + prefix, ec);
  return 0;
}
