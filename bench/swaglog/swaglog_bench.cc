// Cost of one log call, with no collector listening and with one draining the records,
// against a bare snprintf of the same text measured in the same run.
//
// The logging state is made once per process on the first call and keeps its endpoint, so
// each logging case runs in a child process of its own.

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include <zmq.h>

#include "common/swaglog.h"
#include "common/util.h"

namespace {

constexpr int kCalls = 200000;

double ns_per_call(void (*body)(int)) {
  for (int i = 0; i < 1000; i++) body(i);  // warm up
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kCalls; i++) body(i);
  auto end = std::chrono::steady_clock::now();
  return std::chrono::duration<double, std::nano>(end - start).count() / kCalls;
}

void bare_snprintf(int i) {
  char buf[256];
  snprintf(buf, sizeof(buf), "roadrecd: frame %d of segment %s at %.3f", i, "2026-12-09--10-00-00", i * 0.05);
  asm volatile("" : : "r"(buf) : "memory");
}

void log_call(int i) {
  // Level 20 is below the default print level: only the record is built and sent.
  LOGI("roadrecd: frame %d of segment %s at %.3f", i, "2026-12-09--10-00-00", i * 0.05);
}

// Runs the logging loop in a child whose endpoint carries `prefix`; returns its ns per call.
double measure_in_child(const std::string &prefix) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    setenv("TAVRIN_PREFIX", prefix.c_str(), 1);
    double ns = ns_per_call(log_call);
    (void)!write(fds[1], &ns, sizeof(ns));
    _exit(0);
  }
  close(fds[1]);
  double ns = -1;
  if (read(fds[0], &ns, sizeof(ns)) != sizeof(ns)) ns = -1;
  close(fds[0]);
  waitpid(pid, nullptr, 0);
  return ns;
}

}  // namespace

int main() {
  const std::string base = "_swaglog_bench_" + std::to_string(getpid());

  double bare = ns_per_call(bare_snprintf);
  double no_collector = measure_in_child(base + "_nobody");

  // A collector on another thread drains every record as fast as it comes.
  void *ctx = zmq_ctx_new();
  void *sock = zmq_socket(ctx, ZMQ_PULL);
  const std::string endpoint = "ipc:///tmp/logmessage" + base;
  zmq_bind(sock, endpoint.c_str());
  std::atomic<bool> stop{false};
  std::atomic<long> received{0};
  std::thread collector([&] {
    char buf[4096];
    while (!stop) {
      zmq_pollitem_t item = {sock, 0, ZMQ_POLLIN, 0};
      if (zmq_poll(&item, 1, 50) > 0) {
        while (zmq_recv(sock, buf, sizeof(buf), ZMQ_DONTWAIT) >= 0) received++;
      }
    }
  });
  double with_collector = measure_in_child(base);
  stop = true;
  collector.join();
  zmq_close(sock);
  zmq_ctx_destroy(ctx);
  unlink(("/tmp/logmessage" + base).c_str());

  printf("calls per case:            %d\n", kCalls);
  printf("bare snprintf:             %8.1f ns/call\n", bare);
  printf("cloudlog_e, no collector:  %8.1f ns/call  (%.1fx snprintf)\n", no_collector, no_collector / bare);
  printf("cloudlog_e, collector:     %8.1f ns/call  (%.1fx snprintf), %ld records received\n", with_collector,
         with_collector / bare, received.load());
  return 0;
}
