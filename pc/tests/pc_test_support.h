#pragma once

// Helpers shared by the tests of the PC programs: a private world per test (TAVRIN_PREFIX,
// a run directory), a free TCP port, inputs made with the ffmpeg command, and the PSNR of
// two NV12 pictures.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/util.h"
#include "selfdrive/orsolo/tests/process_harness.h"

namespace pc_test {

namespace fs = std::filesystem;

// One test's own TAVRIN_PREFIX (queue directory under /dev/shm, socket names under /tmp) and
// run directory under `runs_root`. The queue directory always goes at the end; the run
// directory stays when the test failed, for its logs.
class TestWorld {
 public:
  explicit TestWorld(const std::string &runs_root) {
    prefix_ = "_pc_" + std::to_string(getpid()) + "_" + util::random_string(6);
    dir_ = runs_root + "/" + prefix_;
    fs::create_directories(dir_);
    fs::create_directories("/dev/shm/" + prefix_);
    setenv("TAVRIN_PREFIX", prefix_.c_str(), 1);
    env_ = {{"TAVRIN_PREFIX", prefix_}, {"PARAMS_ROOT", dir_ + "/params"}, {"LOGPRINT", "debug"}};
  }
  ~TestWorld() {
    std::error_code ec;
    fs::remove_all("/dev/shm/" + prefix_, ec);
    if (!keep_) fs::remove_all(dir_, ec);
  }
  TestWorld(const TestWorld &) = delete;
  TestWorld &operator=(const TestWorld &) = delete;

  const std::string &dir() const { return dir_; }
  std::string path(const std::string &name) const { return dir_ + "/" + name; }
  const std::map<std::string, std::string> &env() const { return env_; }
  void keep() { keep_ = true; }

  // Starts a program of this world, its output in <dir>/<name>.out.
  std::unique_ptr<ChildProcess> start(const std::string &name, const std::vector<std::string> &argv,
                                      const std::map<std::string, std::string> &extra_env = {}) const {
    auto env = env_;
    for (auto &[k, v] : extra_env) env[k] = v;
    return std::make_unique<ChildProcess>(argv, env, dir_, path(name + ".out"));
  }

 private:
  std::string prefix_, dir_;
  std::map<std::string, std::string> env_;
  bool keep_ = false;
};

// A program started in a process group of its own, with everything it starts (gpsfake runs
// a gpsd of its own): the whole group is killed at the end.
class GroupChild {
 public:
  GroupChild(const TestWorld &world, const std::string &name, std::vector<std::string> argv) {
    argv.insert(argv.begin(), "/usr/bin/setsid");
    child_ = world.start(name, argv);
  }
  ~GroupChild() { stop(); }
  void stop() {
    if (!child_) return;
    kill(-child_->pid(), SIGTERM);
    if (child_->wait_exit(5000) == -1) kill(-child_->pid(), SIGKILL);
    child_->wait_exit(5000);
    kill(-child_->pid(), SIGKILL);  // anything of the group still left
    child_.reset();
  }
  ChildProcess &process() { return *child_; }

 private:
  std::unique_ptr<ChildProcess> child_;
};

// A TCP port on 127.0.0.1 that nothing listens on at the moment of the call.
inline int free_tcp_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  int port = -1;
  if (bind(fd, (sockaddr *)&addr, sizeof(addr)) == 0 && getsockname(fd, (sockaddr *)&addr, &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  close(fd);
  return port;
}

// Runs `ffmpeg -v error -y <args>`; true when it succeeded.
inline bool ffmpeg(const std::string &args) {
  return system(("ffmpeg -nostdin -v error -y " + args).c_str()) == 0;
}

inline std::string slurp(const std::string &path) {
  std::ifstream f(path);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

inline int count_occurrences(const std::string &text, const std::string &what) {
  int n = 0;
  for (size_t pos = 0; (pos = text.find(what, pos)) != std::string::npos; pos += what.size()) n++;
  return n;
}

// PSNR in dB of two pictures of the same size (99 for identical ones).
inline double psnr(const uint8_t *a, const uint8_t *b, size_t n) {
  double se = 0;
  for (size_t i = 0; i < n; i++) {
    const double d = (double)a[i] - b[i];
    se += d * d;
  }
  if (se == 0) return 99;
  return 10 * std::log10(255.0 * 255.0 / (se / n));
}

// Decodes a video file's pictures, scaled to `width` x `height` NV12 by the ffmpeg command,
// and hands them out one by one: fn(index, picture); stops early when fn returns false.
inline void for_each_source_frame(const std::string &file, int width, int height,
                                  const std::function<bool(int, const std::vector<uint8_t> &)> &fn) {
  const std::string cmd = "ffmpeg -nostdin -v error -i '" + file + "' -vf scale=" + std::to_string(width) +
                          ":" + std::to_string(height) + " -f rawvideo -pix_fmt nv12 -";
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return;
  std::vector<uint8_t> picture((size_t)width * height * 3 / 2);
  for (int i = 0; fread(picture.data(), 1, picture.size(), p) == picture.size(); i++) {
    if (!fn(i, picture)) break;
  }
  pclose(p);
}

}  // namespace pc_test
