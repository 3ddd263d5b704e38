// Messaging benchmark: the system's msgq against two references, ZeroMQ (ipc) and iceoryx
// (WaitSet), measured by the same code in the same run. iceoryx is measured twice: reading the
// stamp in place, and copying each payload into a buffer of its own as a msgq receive must.
//
//   latency  ping-pong: process A sends, process B answers with a message of the same size on
//            a second topic; one-way latency is half the round trip (one clock, no skew). Both
//            sides sleep in a blocking receive between messages. p50, p99, max.
//   burst    A sends as fast as it can, with no pacing and no look at B; B counts what arrives.
//            Rate = messages received / (last arrival - first send); loss = messages that never
//            arrived. A publisher that never waits (msgq, ZeroMQ) loses what its reader cannot
//            keep up with; the iceoryx publisher waits for a full subscriber queue instead.
//
// Payloads 64 B, 4 KiB, 1 MiB and 3.3 MiB (the largest a msgq topic takes); processes free on
// every core, and pinned (A on core 0, B on core 1). The summary gives msgq's ratios to each
// reference. Every run is a pair of fresh processes. --counters adds page faults, context
// switches and CPU time per message.
//
// Usage: messaging_bench [--transport msgq|zmq-ipc|iceoryx|iceoryx-copy|all] [--size BYTES] [--quick]
//                       [--counters]

#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/messaging/bench_transport.h"
#include "common/timing.h"

namespace {

using bench::Stamp;

struct PayloadSize {
  const char *label;
  size_t bytes;
  int latency_samples;
  uint64_t burst_messages;  // several times the 10 MiB of a msgq topic: a reader must keep up
};

const PayloadSize SIZES[] = {
    {"64 B", 64, 4000, 1000000},
    {"4 KiB", 4096, 4000, 200000},
    {"1 MiB", 1 << 20, 400, 2000},
    {"3.3 MiB", 3495240, 200, 600},
};

constexpr int MAX_SAMPLES = 4000;
// More than the 10 MiB data area of a msgq topic, so that the warm-up goes once round its ring.
constexpr uint64_t WARM_UP_BYTES = 12u << 20;
constexpr int RECEIVE_TIMEOUT_MS = 1000;
constexpr double RUN_TIMEOUT_S = 120;

enum class Mode { LATENCY, BURST };

// What a process spent while measuring: minor page faults, context switches, CPU time.
struct Usage {
  long minflt = 0, nvcsw = 0, nivcsw = 0;
  double cpu_s = 0;
};

Usage usage_now() {
  rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  Usage u;
  u.minflt = ru.ru_minflt;
  u.nvcsw = ru.ru_nvcsw;
  u.nivcsw = ru.ru_nivcsw;
  u.cpu_s = ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
  return u;
}

Usage usage_since(const Usage &before) {
  Usage now = usage_now(), d;
  d.minflt = now.minflt - before.minflt;
  d.nvcsw = now.nvcsw - before.nvcsw;
  d.nivcsw = now.nivcsw - before.nivcsw;
  d.cpu_s = now.cpu_s - before.cpu_s;
  return d;
}

// Shared by the parent and the two processes of one run.
struct Shared {
  std::atomic<int> b_ready;
  std::atomic<uint64_t> probes;  // probes B has received
  std::atomic<uint64_t> received;
  uint64_t first_send_ns;
  uint64_t last_arrival_ns;
  int samples;
  uint64_t one_way_ns[MAX_SAMPLES];
  std::atomic<int> measuring;  // 1 while A measures: B counts its own costs over that span
  Usage usage_a, usage_b;
  char failure[200];
};

struct Figures {
  double p50_us = 0, p99_us = 0, max_us = 0;
  double msgs_per_s = 0, mb_per_s = 0, lost_fraction = 0;
  uint64_t lost = 0;
  // Per message measured: page faults and context switches of A and B, and B's CPU time.
  Usage latency_a, latency_b, burst_a, burst_b;
  double latency_messages = 0, burst_messages = 0;
};

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

template <typename F>
bool await(F &&cond, double timeout_s) {
  uint64_t deadline = nanos_since_boot() + uint64_t(timeout_s * 1e9);
  while (!cond()) {
    if (nanos_since_boot() > deadline) return false;
    sleep_us(100);
  }
  return true;
}

double percentile(std::vector<uint64_t> v, double p) {
  std::sort(v.begin(), v.end());
  size_t i = std::min(v.size() - 1, size_t(p * (v.size() - 1) + 0.5));
  return v[i] / 1000.0;
}

int fail(Shared *sh, const char *why) {
  snprintf(sh->failure, sizeof(sh->failure), "%s", why);
  return 1;
}

class Payload {
 public:
  explicit Payload(size_t size) : buf_(std::max(size, sizeof(Stamp)), 'p') {}
  const char *stamped(uint64_t kind, uint64_t seq) {
    Stamp st = {kind, seq, nanos_since_boot()};
    memcpy(buf_.data(), &st, sizeof(st));
    return buf_.data();
  }
  size_t size() const { return buf_.size(); }

 private:
  std::vector<char> buf_;
};

// B: answers pings (latency) or counts arrivals (burst) until STOP.
int run_b(bench::Transport &t, const std::string &topic, Mode mode, size_t size, Shared *sh) {
  if (!t.start_process("bench_b_" + std::to_string(getpid()))) return fail(sh, "B: transport did not start");
  std::unique_ptr<bench::Receiver> ping = t.receiver(topic + "_ping:" + std::to_string(size));
  std::unique_ptr<bench::Sender> pong = mode == Mode::LATENCY ? t.sender(topic + "_pong:" + std::to_string(size)) : nullptr;
  if (!ping || (mode == Mode::LATENCY && !pong)) return fail(sh, "B: could not connect");
  Payload answer(size);
  sh->b_ready = 1;
  bool counting = false;
  Usage start;
  for (;;) {
    Stamp st;
    if (ping->receive(&st, RECEIVE_TIMEOUT_MS) < 0) continue;
    if (!counting && sh->measuring.load() == 1) {
      counting = true;
      start = usage_now();
    }
    if (st.kind == bench::STOP) {
      if (counting) sh->usage_b = usage_since(start);
      return 0;
    }
    if (st.kind == bench::PROBE) {
      sh->probes++;
      continue;
    }
    if (st.kind == bench::ECHO) {
      if (pong) pong->send(answer.stamped(bench::ECHO, st.seq), answer.size());
      continue;
    }
    if (mode == Mode::LATENCY) {
      Stamp back = st;
      const char *p = answer.stamped(bench::DATA, st.seq);
      memcpy(const_cast<char *>(p), &back, sizeof(back));  // the ping's own send time goes back
      if (!pong->send(p, answer.size())) return fail(sh, "B: answer refused");
    } else {
      sh->last_arrival_ns = nanos_since_boot();
      sh->received.fetch_add(1, std::memory_order_relaxed);
    }
  }
}

// A: connects, makes sure B hears it, warms both up, then measures.
int run_a(bench::Transport &t, const std::string &topic, Mode mode, const PayloadSize &ps, bool quick, Shared *sh) {
  if (!t.start_process("bench_a_" + std::to_string(getpid()))) return fail(sh, "A: transport did not start");
  std::unique_ptr<bench::Sender> ping = t.sender(topic + "_ping:" + std::to_string(ps.bytes));
  std::unique_ptr<bench::Receiver> pong =
      mode == Mode::LATENCY ? t.receiver(topic + "_pong:" + std::to_string(ps.bytes)) : nullptr;
  if (!ping || (mode == Mode::LATENCY && !pong)) return fail(sh, "A: could not connect");
  if (!await([&] { return sh->b_ready.load() == 1; }, 10)) return fail(sh, "B did not connect");
  Payload out(ps.bytes);

  // Probes until B hears one (subscriptions join late on some transports); in latency mode the
  // same for the answer path.
  uint64_t seq = 0;
  if (!await([&] { return ping->send(out.stamped(bench::PROBE, seq++), out.size()) && sh->probes.load() > 0; }, 10)) {
    return fail(sh, "no probe reached B");
  }
  Stamp st;
  if (pong) {
    bool answered = false;
    for (int i = 0; i < 200 && !answered; i++) {
      ping->send(out.stamped(bench::ECHO, seq++), out.size());
      answered = pong->receive(&st, 50) >= 0;
    }
    if (!answered) return fail(sh, "no answer reached A");
    while (pong->receive(&st, 50) >= 0) {
    }
  }

  // Warm-up, the same for every transport: each topic of the run carries WARM_UP_BYTES (and at
  // least MIN_WARM_UP messages) before anything is measured, in windows that no transport
  // drops or blocks on. Every buffer a transport cycles through is then written and read once
  // by both processes: all of a msgq topic's ring, the chunks of iceoryx's pools, ZeroMQ's
  // socket buffers; what is measured is the steady state of long-running processes, not the
  // first pass of fresh ones.
  const uint64_t warm_up = std::max<uint64_t>(ps.bytes >= (1u << 20) ? 24 : 200, WARM_UP_BYTES / ps.bytes + 1);
  const uint64_t window = std::clamp<uint64_t>((1u << 20) / ps.bytes, 1, 64);
  for (uint64_t sent = 0; sent < warm_up;) {
    const uint64_t n = std::min(window, warm_up - sent);
    const uint64_t before = sh->probes.load();
    for (uint64_t i = 0; i < n; i++) {
      if (!ping->send(out.stamped(pong ? bench::ECHO : bench::PROBE, seq++), out.size())) {
        return fail(sh, "A: a warm-up message was refused");
      }
    }
    sent += n;
    // A message a transport lost (none should be) only shortens the warm-up.
    if (pong) {
      for (uint64_t i = 0; i < n && pong->receive(&st, 500) >= 0; i++) {
      }
    } else {
      await([&] { return sh->probes.load() >= before + n; }, 0.5);
    }
  }

  sh->measuring = 1;
  const Usage start = usage_now();
  if (mode == Mode::LATENCY) {
    int n = std::min(MAX_SAMPLES, quick ? ps.latency_samples / 10 : ps.latency_samples);
    for (int i = 0; i < n; i++) {
      uint64_t t0 = nanos_since_boot();
      if (!ping->send(out.stamped(bench::DATA, uint64_t(i)), out.size())) return fail(sh, "A: ping refused");
      Stamp st;
      do {
        if (pong->receive(&st, RECEIVE_TIMEOUT_MS) < 0) return fail(sh, "an answer did not come");
      } while (st.kind != bench::DATA || st.seq != uint64_t(i));
      sh->one_way_ns[i] = (nanos_since_boot() - t0) / 2;
      sh->samples = i + 1;
    }
  } else {
    uint64_t n = quick ? ps.burst_messages / 10 : ps.burst_messages;
    sh->first_send_ns = nanos_since_boot();
    for (uint64_t i = 0; i < n; i++) {
      if (!ping->send(out.stamped(bench::DATA, i), out.size())) return fail(sh, "A: a burst message was refused");
    }
    // What B still has in flight arrives, or is lost, within a second of the count standing still.
    uint64_t last = ~0ull;
    while (sh->received.load() != last && sh->received.load() < n) {
      last = sh->received.load();
      sleep_us(200000);
    }
  }
  sh->usage_a = usage_since(start);
  sh->measuring = 0;
  // B ends on STOP; repeated because a transport that drops may drop it too.
  for (int i = 0; i < 2000 && sh->b_ready.load() != 2; i++) {
    ping->send(out.stamped(bench::STOP, 0), out.size());
    sleep_us(1000);
  }
  return 0;
}

pid_t fork_process(int core, const std::function<int()> &body) {
  fflush(stdout);  // or the child's exit prints the parent's pending lines again
  pid_t pid = fork();
  if (pid == 0) {
    pin_to(core);
    exit(body());  // exit, not _exit: a transport's runtime says goodbye to its daemon
  }
  return pid;
}

// Waits for a process of a run, killing it when it is late; true when it exited with 0.
bool reap(pid_t pid, uint64_t deadline_ns) {
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (nanos_since_boot() > deadline_ns) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return false;
    }
    sleep_us(2000);
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// One run: a fresh pair of processes. False with the reason printed when it could not finish;
// a loss is a figure, not a failure.
bool run(bench::Transport &t, Mode mode, const PayloadSize &ps, bool pinned, bool quick, int run_no, Figures *f) {
  Shared *sh = static_cast<Shared *>(
      mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  if (sh == MAP_FAILED) return false;
  new (sh) Shared();
  const std::string topic = "bench" + std::to_string(run_no);

  pid_t b = fork_process(pinned ? 1 : -1, [&] {
    int rc = run_b(t, topic, mode, ps.bytes, sh);
    sh->b_ready = 2;
    return rc;
  });
  pid_t a = fork_process(pinned ? 0 : -1, [&] { return run_a(t, topic, mode, ps, quick, sh); });
  uint64_t deadline = nanos_since_boot() + uint64_t(RUN_TIMEOUT_S * 1e9);
  bool ok_a = reap(a, deadline);
  bool ok_b = reap(b, deadline + 5000000000ull);

  bool ok = ok_a && ok_b;
  if (!ok) {
    printf("  %-8s %s failed: %s\n", ps.label, mode == Mode::LATENCY ? "latency" : "burst",
           sh->failure[0] ? sh->failure : "a process did not finish in time");
  } else if (mode == Mode::LATENCY) {
    std::vector<uint64_t> lat(sh->one_way_ns, sh->one_way_ns + sh->samples);
    f->p50_us = percentile(lat, 0.50);
    f->p99_us = percentile(lat, 0.99);
    f->max_us = percentile(lat, 1.0);
    f->latency_a = sh->usage_a;
    f->latency_b = sh->usage_b;
    f->latency_messages = sh->samples;
  } else {
    uint64_t n = quick ? ps.burst_messages / 10 : ps.burst_messages;
    uint64_t got = sh->received.load();
    double secs = (sh->last_arrival_ns - sh->first_send_ns) * 1e-9;
    f->msgs_per_s = got > 0 && secs > 0 ? got / secs : 0;
    f->mb_per_s = f->msgs_per_s * double(ps.bytes) / 1e6;
    f->lost = n - got;
    f->lost_fraction = double(n - got) / double(n);
    f->burst_a = sh->usage_a;
    f->burst_b = sh->usage_b;
    f->burst_messages = double(got);
  }
  munmap(sh, sizeof(Shared));
  return ok;
}

std::string ratio_text(double num, double den) {
  if (!(num > 0) || !(den > 0)) return "-";
  char text[32];
  snprintf(text, sizeof(text), "%.2f", num / den);
  return text;
}

void print_counters(const Figures &f) {
  auto per = [](double v, double n) { return n > 0 ? v / n : 0.0; };
  double lm = f.latency_messages, bm = f.burst_messages;
  printf("           per ping-pong: A %.2f faults %.2f ctx, B %.2f faults %.2f ctx %.2f us cpu;"
         " per burst message: A %.3f faults %.3f us cpu, B %.3f faults %.3f ctx %.3f us cpu\n",
         per(f.latency_a.minflt, lm), per(f.latency_a.nvcsw + f.latency_a.nivcsw, lm), per(f.latency_b.minflt, lm),
         per(f.latency_b.nvcsw + f.latency_b.nivcsw, lm), per(f.latency_b.cpu_s * 1e6, lm), per(f.burst_a.minflt, bm),
         per(f.burst_a.cpu_s * 1e6, bm), per(f.burst_b.minflt, bm), per(f.burst_b.nvcsw + f.burst_b.nivcsw, bm),
         per(f.burst_b.cpu_s * 1e6, bm));
}

}  // namespace

int main(int argc, char **argv) {
  std::string which = "all";
  bool quick = false;
  bool counters = false;
  size_t only_size = 0;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if ((a == "--transport" || a == "--backend") && i + 1 < argc) {
      which = argv[++i];
    } else if (a == "--counters") {
      counters = true;
    } else if (a == "--quick") {
      quick = true;
    } else if (a == "--size" && i + 1 < argc) {
      only_size = std::stoul(argv[++i]);
    } else {
      fprintf(stderr, "usage: %s [--transport msgq|zmq-ipc|iceoryx|iceoryx-copy|all] [--size BYTES] [--quick] [--counters]\n",
              argv[0]);
      return 2;
    }
  }
  const std::string run_id = std::to_string(getpid());

  std::vector<std::unique_ptr<bench::Transport>> transports;
  if (which == "all" || which == "msgq") transports.push_back(bench::make_msgq_transport(run_id));
  if (which == "all" || which == "zmq-ipc") transports.push_back(bench::make_zmq_transport(run_id));
  if (which == "all" || which.rfind("iceoryx", 0) == 0) {
    std::string why;
    auto both = bench::make_iceoryx_transports(run_id, ROUDI_CONFIG, &why);
    if (both.empty()) printf("iceoryx: not measured: %s\n", why.c_str());
    for (auto &t : both) {
      if (which == "all" || which == "iceoryx" || which == t->name()) transports.push_back(std::move(t));
    }
  }
  if (transports.empty()) {
    fprintf(stderr, "no transport named %s\n", which.c_str());
    return 2;
  }

  bool all_ok = true;
  int run_no = 0;
  // results[transport][pinned][size index]; absent when the run failed.
  std::map<std::string, std::map<bool, std::map<size_t, Figures>>> results;
  for (auto &t : transports) {
    for (bool pinned : {false, true}) {
      printf("\n%s, %s (%s):\n", t->name(), pinned ? "pinned, A on core 0 and B on core 1" : "free on all cores",
             t->receive_note());
      printf("  %-8s %9s %9s %9s %13s %10s %12s\n", "payload", "p50 us", "p99 us", "max us", "burst msg/s", "MB/s",
             "lost");
      fflush(stdout);
      for (size_t k = 0; k < std::size(SIZES); k++) {
        const PayloadSize &s = SIZES[k];
        if (only_size != 0 && s.bytes != only_size) continue;
        Figures f;
        bool ok = run(*t, Mode::LATENCY, s, pinned, quick, run_no++, &f);
        ok = run(*t, Mode::BURST, s, pinned, quick, run_no++, &f) && ok;
        all_ok = all_ok && ok;
        if (!ok) continue;
        char lost[40];
        snprintf(lost, sizeof(lost), "%lu (%.1f%%)", (unsigned long)f.lost, 100 * f.lost_fraction);
        printf("  %-8s %9.1f %9.1f %9.1f %13.0f %10.0f %12s\n", s.label, f.p50_us, f.p99_us, f.max_us,
               f.msgs_per_s, f.mb_per_s, lost);
        if (counters) print_counters(f);
        fflush(stdout);
        results[t->name()][pinned][k] = f;
      }
    }
  }

  // msgq against each reference: latency ratios at or below 1 and rate ratios at or above 1
  // favour msgq.
  for (const char *ref : {"iceoryx", "iceoryx-copy", "zmq-ipc"}) {
    if (!results.count("msgq") || !results.count(ref)) continue;
    printf("\nmsgq / %s (latency: <= 1 is as fast or faster; burst rate: >= 1 keeps up):\n", ref);
    printf("  %-8s %-6s %9s %9s %12s %16s\n", "payload", "cores", "p50", "p99", "burst rate", "msgq lost");
    for (bool pinned : {false, true}) {
      for (size_t k = 0; k < std::size(SIZES); k++) {
        auto &m = results["msgq"][pinned];
        auto &r = results[ref][pinned];
        if (!m.count(k) || !r.count(k)) continue;
        char lost[32];
        snprintf(lost, sizeof(lost), "%.1f%%", 100 * m[k].lost_fraction);
        printf("  %-8s %-6s %9s %9s %12s %16s\n", SIZES[k].label, pinned ? "pinned" : "free",
               ratio_text(m[k].p50_us, r[k].p50_us).c_str(), ratio_text(m[k].p99_us, r[k].p99_us).c_str(),
               ratio_text(m[k].msgs_per_s, r[k].msgs_per_s).c_str(), lost);
      }
    }
  }
  if (!all_ok) printf("\nsome runs failed (see above)\n");
  return all_ok ? 0 : 1;
}
