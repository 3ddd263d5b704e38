// Messaging benchmark: one publisher process and one subscriber process exchange messages
// through the factories of messaging.h, so every backend the factories can make is measured
// by the same code.
//
//   blocking latency   the subscriber sleeps in receive(); one message at a time, with a pause
//                      between messages so the subscriber is really asleep: wake-up + 2 copies
//   throughput         the publisher sends as fast as it may while staying less than half a
//                      queue ahead of the subscriber (nothing is lost)
//   memcpy             copies of the same sizes through buffers larger than the caches: the
//                      physical reference for the throughput figures
//
// Both transfer modes run twice: both processes free to use any core, and both pinned to
// core 0 (then a wake-up needs no other core to come out of idle).
//
// Backends: msgq (shared-memory queue) and zmq (ZeroMQ over TCP on 127.0.0.1), both made by
// the factories, and zmq-ipc: the same ZeroMQ sockets, options and copies over ZeroMQ's ipc
// transport (a Unix socket), as the same-machine reference. A summary gives msgq/ZeroMQ ratios.
//
// Usage: messaging_bench [--backend msgq|zmq|zmq-ipc|all] [--quick]

#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <zmq.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/timing.h"
#include "strand/messaging/impl_zmq.h"
#include "strand/messaging/messaging.h"

namespace {

struct PayloadSize {
  const char *label;
  size_t bytes;
  int latency_samples;
  int throughput_messages;
};

// The largest payload a queue of 10 MiB takes is 3495240 bytes (3 frames must fit): that is
// the "3.5 MiB" class, a whole uncompressed camera frame.
const PayloadSize SIZES[] = {
    {"64 B", 64, 2000, 200000},
    {"4 KiB", 4096, 2000, 100000},
    {"1 MiB", 1 << 20, 300, 2000},
    {"3.3 MiB", 3495240, 150, 600},
};

constexpr size_t MAX_SAMPLES = 2000;

// Shared between the two processes of one run (anonymous shared mapping).
struct Shared {
  std::atomic<int> subscriber_ready;
  std::atomic<uint64_t> probes;  // probes received
  std::atomic<uint64_t> received;  // measured messages received so far
  uint64_t latency_ns[MAX_SAMPLES];
};

// The first 16 bytes of every message: its kind and the sender's clock.
struct Stamp {
  uint64_t kind;  // PROBE while warming up, MEASURED afterwards, STOP at the end
  uint64_t sent_ns;
};
enum : uint64_t { PROBE = 1, MEASURED = 2, STOP = 3 };

struct Backend {
  std::string name;
  std::string endpoint;  // msgq: queue name; zmq: TCP port; zmq-ipc: ipc:// address
};

// ZeroMQ sockets on an ipc:// address: the ZMQ backend's options, send flags and receive copy,
// with only the transport changed. The context is the factory-made ZeroMQ one.
class ZmqIpcSubSocket : public SubSocket {
 public:
  ~ZmqIpcSubSocket() override {
    if (sock_) zmq_close(sock_);
  }
  int connect(Context *context, std::string endpoint, std::string, bool conflate, bool) override {
    sock_ = zmq_socket(context->getRawContext(), ZMQ_SUB);
    if (!sock_) return -1;
    zmq_setsockopt(sock_, ZMQ_SUBSCRIBE, "", 0);
    int one = 1, reconnect_ivl = 500;
    if (conflate) zmq_setsockopt(sock_, ZMQ_CONFLATE, &one, sizeof(one));
    zmq_setsockopt(sock_, ZMQ_RECONNECT_IVL_MAX, &reconnect_ivl, sizeof(reconnect_ivl));
    return zmq_connect(sock_, endpoint.c_str());
  }
  void setTimeout(int timeout) override { zmq_setsockopt(sock_, ZMQ_RCVTIMEO, &timeout, sizeof(timeout)); }
  Message *receive(bool non_blocking) override {
    zmq_msg_t msg;
    zmq_msg_init(&msg);
    Message *result = nullptr;
    if (zmq_msg_recv(&msg, sock_, non_blocking ? ZMQ_DONTWAIT : 0) >= 0) {
      result = new ZMQMessage;
      result->init(static_cast<char *>(zmq_msg_data(&msg)), zmq_msg_size(&msg));
    }
    zmq_msg_close(&msg);
    return result;
  }
  void *getRawSocket() override { return sock_; }

 private:
  void *sock_ = nullptr;
};

class ZmqIpcPubSocket : public PubSocket {
 public:
  ~ZmqIpcPubSocket() override {
    if (sock_) zmq_close(sock_);
  }
  int connect(Context *context, std::string endpoint, bool) override {
    sock_ = zmq_socket(context->getRawContext(), ZMQ_PUB);
    return sock_ ? zmq_bind(sock_, endpoint.c_str()) : -1;
  }
  int sendMessage(Message *m) override { return send(m->getData(), m->getSize()); }
  int send(char *data, size_t size) override { return zmq_send(sock_, data, size, ZMQ_DONTWAIT); }
  bool all_readers_updated() override { return false; }

 private:
  void *sock_ = nullptr;
};

SubSocket *make_subscriber(const Backend &b, Context *ctx) {
  if (b.name != "zmq-ipc") return SubSocket::create(ctx, b.endpoint, "127.0.0.1", false, false);
  auto sub = std::make_unique<ZmqIpcSubSocket>();
  return sub->connect(ctx, b.endpoint, "", false, false) == 0 ? sub.release() : nullptr;
}

PubSocket *make_publisher(const Backend &b, Context *ctx) {
  if (b.name != "zmq-ipc") return PubSocket::create(ctx, b.endpoint, false);
  auto pub = std::make_unique<ZmqIpcPubSocket>();
  return pub->connect(ctx, b.endpoint, false) == 0 ? pub.release() : nullptr;
}

// A context from the factories. A ZeroMQ one is told not to wait at its end for messages still
// queued to a subscriber: a publisher context forked with the run once hung there for good.
Context *make_context() {
  Context *ctx = Context::create();
  if (getenv("ZMQ") != nullptr) zmq_ctx_set(ctx->getRawContext(), ZMQ_BLOCKY, 0);
  return ctx;
}

// A TCP port nobody listens on now, so that concurrent runs do not collide on a fixed one.
std::string free_tcp_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  int port = 58123;
  if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  close(fd);
  return std::to_string(port);
}

struct Figures {
  double p50_us = 0, p99_us = 0, max_us = 0;
  double msgs_per_s = 0, mb_per_s = 0;
};

void select_backend(const Backend &b, const std::string &prefix_dir) {
  if (b.name == "zmq" || b.name == "zmq-ipc") {
    setenv("ZMQ", "1", 1);
    unsetenv("TAVRIN_PREFIX");
  } else {
    unsetenv("ZMQ");
    setenv("TAVRIN_PREFIX", prefix_dir.c_str(), 1);
  }
}

// Whether the factories actually make this backend (a ZeroMQ context is never null).
bool backend_available(const Backend &b) {
  if (b.name == "msgq") return true;
  std::unique_ptr<Context> ctx(Context::create());
  return ctx->getRawContext() != nullptr;
}

void pin_to(int core) {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (core >= 0) {
    CPU_SET(core, &set);
  } else {
    for (int i = 0; i < CPU_SETSIZE; i++) CPU_SET(i, &set);
  }
  sched_setaffinity(0, sizeof(set), &set);
}

void sleep_us(long us) {
  timespec ts = {us / 1000000, (us % 1000000) * 1000};
  nanosleep(&ts, nullptr);
}

double percentile(std::vector<uint64_t> v, double p) {
  std::sort(v.begin(), v.end());
  size_t i = std::min(v.size() - 1, size_t(p * (v.size() - 1) + 0.5));
  return v[i] / 1000.0;
}

// The subscriber process: receives until STOP, stamping the latency of measured messages.
int run_subscriber(const Backend &b, Shared *sh, bool record_latency) {
  std::unique_ptr<Context> ctx(make_context());
  std::unique_ptr<SubSocket> sub(make_subscriber(b, ctx.get()));
  if (!sub) return 2;
  sh->subscriber_ready = 1;
  for (;;) {
    std::unique_ptr<Message> m(sub->receive());
    if (!m) continue;
    uint64_t now = nanos_since_boot();
    if (m->getSize() < sizeof(Stamp)) return 3;
    Stamp st;
    memcpy(&st, m->getData(), sizeof(st));
    if (st.kind == STOP) return 0;
    if (st.kind == PROBE) {
      sh->probes++;
      continue;
    }
    uint64_t n = sh->received.load();
    if (record_latency && n < MAX_SAMPLES) sh->latency_ns[n] = now - st.sent_ns;
    sh->received = n + 1;
  }
}

class Publisher {
 public:
  Publisher(const Backend &b, size_t size)
      : ctx_(make_context()), buf_(std::max({size, sizeof(Stamp), size_t(1) << 20}), 'p') {
    pub_.reset(make_publisher(b, ctx_.get()));
  }
  bool ok() const { return pub_ != nullptr; }

  bool send(uint64_t kind, size_t size) {
    if (!pub_) return false;
    Stamp st = {kind, nanos_since_boot()};
    memcpy(buf_.data(), &st, sizeof(st));
    return pub_->send(buf_.data(), std::min(buf_.size(), std::max(size, sizeof(Stamp)))) >= 0;
  }

 private:
  std::unique_ptr<Context> ctx_;
  std::unique_ptr<PubSocket> pub_;
  std::vector<char> buf_;
};

// Waits (bounded) for `cond`, sleeping `step_us` between tests; false on time-out. With a
// step of 0 it yields for a short while first (the answer usually comes within microseconds),
// then sleeps in small steps so a backend's own threads on the same core can run.
template <typename F>
bool await(F &&cond, long step_us, double timeout_s = 10) {
  uint64_t start = nanos_since_boot();
  uint64_t deadline = start + uint64_t(timeout_s * 1e9);
  while (!cond()) {
    uint64_t now = nanos_since_boot();
    if (now > deadline) return false;
    if (step_us > 0) {
      sleep_us(step_us);
    } else if (now - start < 200000) {
      sched_yield();
    } else {
      sleep_us(10);
    }
  }
  return true;
}

// A queue lives as long as the device runs: measure it in that steady state, with every page
// of its file present and mapped in both processes, not the first pass through fresh pages.
// The subscriber's allocator, too, settles after its first few messages of a new size.
bool warm_up(Publisher &pub, Shared *sh, size_t size) {
  constexpr size_t QUEUE_PASS_SIZE = 1 << 20;
  constexpr int QUEUE_PASS_MESSAGES = 24;  // more than twice the 10 MiB queue
  constexpr int SIZE_MESSAGES = 8;
  for (int i = 0; i < QUEUE_PASS_MESSAGES + SIZE_MESSAGES; i++) {
    uint64_t before = sh->probes.load();
    size_t n = i < QUEUE_PASS_MESSAGES ? QUEUE_PASS_SIZE : size;
    if (!pub.send(PROBE, n) || !await([&] { return sh->probes.load() > before; }, 20, 10)) return false;
  }
  return true;
}

enum class Mode { LATENCY, THROUGHPUT };

bool run_transfer(const Backend &b, const PayloadSize &size, Mode mode, int core, bool quick, Figures *out) {
  Shared *sh = static_cast<Shared *>(
      mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  if (sh == MAP_FAILED) return false;
  new (sh) Shared();
  pin_to(core);  // the child inherits it

  bool ok = false;
  {
    Publisher pub(b, size.bytes);  // first: a queue publisher resets the reader slots
    pid_t child = fork();
    if (child == 0) _exit(run_subscriber(b, sh, mode == Mode::LATENCY));

    const char *failure = nullptr;
    if (!pub.ok()) {
      failure = "publisher did not connect";
    } else if (!await([&] { return sh->subscriber_ready.load() == 1; }, 100)) {
      failure = "subscriber did not connect";
    } else if (!await([&] { return pub.send(PROBE, sizeof(Stamp)) && sh->probes.load() > 0; }, 1000)) {
      // Probes until one arrives: the subscriber is connected (ZeroMQ joins late).
      failure = "no probe arrived";
    } else if (!warm_up(pub, sh, size.bytes)) {
      failure = "a warm-up message was lost";
    } else if (mode == Mode::LATENCY) {
      int n = quick ? size.latency_samples / 10 : size.latency_samples;
      for (int i = 0; i < n && !failure; i++) {
        sleep_us(500);  // long enough for the subscriber to be asleep in its poll
        if (!pub.send(MEASURED, size.bytes)) failure = "send failed";
        else if (!await([&] { return sh->received.load() == uint64_t(i + 1); }, 20)) failure = "a message was lost";
      }
      std::vector<uint64_t> lat(sh->latency_ns, sh->latency_ns + std::min<uint64_t>(n, MAX_SAMPLES));
      out->p50_us = percentile(lat, 0.50);
      out->p99_us = percentile(lat, 0.99);
      out->max_us = percentile(lat, 1.0);
    } else {
      uint64_t n = quick ? size.throughput_messages / 10 : size.throughput_messages;
      // Stay less than half a queue ahead so the subscriber is never lapped, and within
      // what a ZeroMQ publisher queues before it drops (1000 messages).
      uint64_t window = std::clamp<uint64_t>((10u << 20) / 2 / (size.bytes + 16), 1, 256);
      uint64_t t0 = nanos_since_boot();
      for (uint64_t i = 0; i < n && !failure; i++) {
        if (!await([&] { return i - sh->received.load() < window; }, 0)) failure = "the subscriber stalled";
        else if (!pub.send(MEASURED, size.bytes)) failure = "send failed";
      }
      if (!failure && !await([&] { return sh->received.load() == n; }, 0)) failure = "a message was lost";
      double secs = (nanos_since_boot() - t0) * 1e-9;
      out->msgs_per_s = n / secs;
      out->mb_per_s = n * double(size.bytes) / secs / 1e6;
    }
    ok = failure == nullptr;
    if (failure) fprintf(stderr, "  %s %s: %s\n", size.label, mode == Mode::LATENCY ? "latency" : "throughput", failure);
    // Stop the subscriber; repeated because a message may still be on its way.
    await([&] { return (pub.send(STOP, sizeof(Stamp)), waitpid(child, nullptr, WNOHANG) == child); }, 1000, 5);
    if (waitpid(child, nullptr, WNOHANG) == 0) {
      kill(child, SIGKILL);
      waitpid(child, nullptr, 0);
    }
  }
  pin_to(-1);
  munmap(sh, sizeof(Shared));
  return ok;
}

// memcpy of `size`-byte blocks walking through buffers far larger than the last-level cache.
double memcpy_mb_per_s(size_t size, bool quick) {
  const size_t pool = size_t(256) << 20;  // 8 times the last-level cache
  std::vector<char> src(pool, 's'), dst(pool, 'd');
  const size_t blocks = pool / size;
  const size_t total_target = (quick ? size_t(1) : size_t(4)) << 30;
  size_t copied = 0, i = 0;
  uint64_t t0 = nanos_since_boot();
  while (copied < total_target) {
    size_t off = (i % blocks) * size;
    memcpy(dst.data() + off, src.data() + off, size);
    copied += size;
    i++;
  }
  double secs = (nanos_since_boot() - t0) * 1e-9;
  volatile char sink = dst[i % pool];
  (void)sink;
  return copied / secs / 1e6;
}

}  // namespace

int main(int argc, char **argv) {
  std::string which = "all";
  bool quick = false;
  size_t only_size = 0;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--backend" && i + 1 < argc) {
      which = argv[++i];
    } else if (a == "--quick") {
      quick = true;
    } else if (a == "--size" && i + 1 < argc) {
      only_size = std::stoul(argv[++i]);
    } else {
      fprintf(stderr, "usage: %s [--backend msgq|zmq|zmq-ipc|all] [--quick]\n", argv[0]);
      return 2;
    }
  }

  // Queue files of this run live in their own directory, never beside the device's topics.
  std::string prefix_dir = "messaging_bench_" + std::to_string(getpid());
  std::filesystem::create_directory("/dev/shm/" + prefix_dir);

  printf("memcpy reference (blocks walking 256 MiB buffers):\n");
  std::vector<double> reference;
  for (const PayloadSize &s : SIZES) {
    if (only_size != 0 && s.bytes != only_size) {
      reference.push_back(0);
      continue;
    }
    reference.push_back(memcpy_mb_per_s(s.bytes, quick));
    printf("  %-8s %9.0f MB/s\n", s.label, reference.back());
  }
  fflush(stdout);

  const std::string ipc_path = "/tmp/messaging_bench_" + std::to_string(getpid()) + ".ipc";
  const Backend backends[] = {{"msgq", "messaging_bench"}, {"zmq", free_tcp_port()}, {"zmq-ipc", "ipc://" + ipc_path}};
  // results[backend][core][size index], kept for the ratio summary; absent when it failed.
  std::map<std::string, std::map<int, std::map<size_t, Figures>>> results;
  for (const Backend &b : backends) {
    if (which != "all" && which != b.name) continue;
    select_backend(b, prefix_dir);
    if (!backend_available(b)) {
      printf("\n%s: not available in this build\n", b.name.c_str());
      continue;
    }
    for (int core : {-1, 0}) {
      printf("\n%s, %s:\n", b.name.c_str(), core < 0 ? "processes free on all cores" : "both processes pinned to core 0");
      printf("  %-8s %10s %10s %10s %12s %10s %9s\n", "payload", "p50 us", "p99 us", "max us", "msgs/s", "MB/s",
             "/memcpy");
      for (size_t k = 0; k < std::size(SIZES); k++) {
        const PayloadSize &s = SIZES[k];
        if (only_size != 0 && s.bytes != only_size) continue;
        Figures f;
        bool ok = run_transfer(b, s, Mode::LATENCY, core, quick, &f) &&
                  run_transfer(b, s, Mode::THROUGHPUT, core, quick, &f);
        if (!ok) {
          printf("  %-8s failed\n", s.label);
          continue;
        }
        printf("  %-8s %10.1f %10.1f %10.1f %12.0f %10.0f %8.0f%%\n", s.label, f.p50_us, f.p99_us, f.max_us,
               f.msgs_per_s, f.mb_per_s, 100.0 * f.mb_per_s / reference[k]);
        fflush(stdout);
        results[b.name][core][k] = f;
      }
    }
  }

  // msgq against ZeroMQ, same run: latency ratios below 1 and throughput ratios above 1 favour msgq.
  if (results.count("msgq") && (results.count("zmq") || results.count("zmq-ipc"))) {
    printf("\nmsgq / ZeroMQ ratios (p50 latency: lower is better for msgq; MB/s: higher is better):\n");
    for (int core : {-1, 0}) {
      printf("  %s:\n", core < 0 ? "processes free on all cores" : "both processes pinned to core 0");
      printf("  %-8s %14s %14s %14s %14s\n", "payload", "p50 vs tcp", "p50 vs ipc", "MB/s vs tcp", "MB/s vs ipc");
      for (size_t k = 0; k < std::size(SIZES); k++) {
        auto ratio = [&](const std::string &zmq, bool latency) -> std::string {
          auto &m = results["msgq"][core];
          auto &z = results[zmq][core];
          if (!m.count(k) || !z.count(k)) return "-";
          double r = latency ? m[k].p50_us / z[k].p50_us : m[k].mb_per_s / z[k].mb_per_s;
          char text[32];
          snprintf(text, sizeof(text), "%.2f", r);
          return text;
        };
        printf("  %-8s %14s %14s %14s %14s\n", SIZES[k].label, ratio("zmq", true).c_str(),
               ratio("zmq-ipc", true).c_str(), ratio("zmq", false).c_str(), ratio("zmq-ipc", false).c_str());
      }
    }
  }
  std::filesystem::remove_all("/dev/shm/" + prefix_dir);
  std::error_code ec;
  std::filesystem::remove(ipc_path, ec);
  return 0;
}
