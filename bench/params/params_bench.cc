// Latency of a durable Params::put against the bare system calls it cannot avoid (write, fsync,
// rename, fsync of the directory) on the same bytes, measured interleaved in one run so both see
// the same disk; and latency of Params::get of a 1 KiB value, against a bare read and against
// util::read_file (the read without get's key and file-type checks).
//
// Usage: params_bench [dir] [iterations]   (dir defaults to a fresh directory under $TMPDIR or /tmp;
// it must be on the disk the store will live on for the figures to mean anything)

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "common/params.h"
#include "common/util.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Percentiles {
  double p50_us, p99_us;
};

Percentiles percentiles(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  auto at = [&](double q) { return samples[std::min(samples.size() - 1, size_t(q * samples.size()))]; };
  return {at(0.50), at(0.99)};
}

template <typename F>
double time_us(F &&f) {
  auto t0 = Clock::now();
  f();
  return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

// What any durable replace-by-rename must do, with nothing around it.
bool bare_durable_write(const std::string &tmp, const std::string &dst, const std::string &dir, const std::string &v) {
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = write(fd, v.data(), v.size()) == ssize_t(v.size()) && fsync(fd) == 0;
  close(fd);
  if (!ok || rename(tmp.c_str(), dst.c_str()) != 0) return false;
  int dfd = open(dir.c_str(), O_RDONLY | O_CLOEXEC);
  if (dfd < 0) return false;
  ok = fsync(dfd) == 0;
  close(dfd);
  return ok;
}

std::string bare_read(const std::string &path) {
  std::string out;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof(buf))) > 0) out.append(buf, n);
  close(fd);
  return out;
}

void report(const char *what, const Percentiles &p, const Percentiles *base) {
  std::printf("%-34s p50 %8.1f us   p99 %8.1f us", what, p.p50_us, p.p99_us);
  if (base) std::printf("   ratio p50 %.3f  p99 %.3f", p.p50_us / base->p50_us, p.p99_us / base->p99_us);
  std::printf("\n");
}

}  // namespace

int main(int argc, char **argv) {
  std::string parent = argc > 1 ? argv[1] : (std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp");
  const int iterations = argc > 2 ? std::atoi(argv[2]) : 1000;
  std::string tmpl = parent + "/params_bench_XXXXXX";
  if (!mkdtemp(tmpl.data())) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string root = tmpl;
  const std::string bare_dir = root + "/bare";
  std::filesystem::create_directory(bare_dir);
  setenv("TAVRIN_PREFIX", "d", 1);

  int rc = 0;
  {
    Params params(root);
    const std::string value(1024, 'v');
    std::vector<double> put_us, bare_us;
    const int warmup = std::max(1, iterations / 20);
    for (int i = 0; i < warmup + iterations; i++) {
      // Alternate which goes first so neither always follows the other's sync.
      double p = 0, b = 0;
      auto do_put = [&] { p = time_us([&] { rc |= params.put("DashcamDebug", value) != 0; }); };
      auto do_bare = [&] {
        b = time_us([&] { rc |= !bare_durable_write(root + "/.bare_tmp", bare_dir + "/DashcamDebug", bare_dir, value); });
      };
      if (i % 2) {
        do_put();
        do_bare();
      } else {
        do_bare();
        do_put();
      }
      if (i >= warmup) {
        put_us.push_back(p);
        bare_us.push_back(b);
      }
    }

    // Params::get checks the key and reads only a regular file of sane size; util::read_file is
    // the same read without those checks.
    std::vector<double> get_us, read_us, unchecked_us;
    const std::string value_path = params.getParamPath("DashcamDebug");
    for (int i = 0; i < 20 * iterations; i++) {
      get_us.push_back(time_us([&] { rc |= params.get("DashcamDebug").size() != value.size(); }));
      read_us.push_back(time_us([&] { rc |= bare_read(bare_dir + "/DashcamDebug").size() != value.size(); }));
      unchecked_us.push_back(time_us([&] { rc |= util::read_file(value_path).size() != value.size(); }));
    }

    std::printf("params bench: %d iterations, 1 KiB values, in %s\n", iterations, root.c_str());
    Percentiles bare = percentiles(bare_us), rd = percentiles(read_us);
    report("bare write+fsync+rename+fsync dir", bare, nullptr);
    report("Params::put", percentiles(put_us), &bare);
    report("bare open+read+close", rd, nullptr);
    report("Params::get", percentiles(get_us), &rd);
    Percentiles unchecked = percentiles(unchecked_us);
    report("util::read_file (no checks)", unchecked, &rd);
    report("Params::get vs util::read_file", percentiles(get_us), &unchecked);
  }
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  if (rc) std::fprintf(stderr, "params bench: an operation failed\n");
  return rc;
}
