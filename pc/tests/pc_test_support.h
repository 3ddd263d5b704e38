#pragma once

// Helpers shared by the tests of the PC programs: a private world per test with the programs'
// debug lines in their output, programs that start programs of their own, and inputs made with
// the ffmpeg command.

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/util.h"
#include "tests/support/child_process.h"
#include "tests/support/ffprobe.h"
#include "tests/support/files.h"
#include "tests/support/free_port.h"
#include "tests/support/nv12_pictures.h"
#include "tests/support/run_program.h"
#include "tests/support/test_world.h"
#include "tests/support/wait.h"

namespace pc_test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// One test's own world (TAVRIN_PREFIX, run directory under `runs_root`), its programs printing
// their debug lines too.
class PcWorld : public TestWorld {
 public:
  explicit PcWorld(const std::string &runs_root) : TestWorld(runs_root, "_pc") {
    env()["LOGPRINT"] = "debug";
  }
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
    // gpsfake's control socket, which it leaves when it is ended this way.
    std::error_code ec;
    fs::remove("/tmp/gpsfake-" + std::to_string(child_->pid()) + ".sock", ec);
    child_.reset();
  }
  ChildProcess &process() { return *child_; }

 private:
  std::unique_ptr<ChildProcess> child_;
};

// Runs `ffmpeg -v error -y <args>` (bounded); true when it succeeded.
inline bool ffmpeg(const std::string &args) {
  RunOptions options;
  options.timeout = 120s;
  return run_command(std::string(ffmpeg_program()) + " -nostdin -v error -y " + args, options).status == 0;
}

// Decodes a video file's pictures, scaled to `width` x `height` NV12 by the ffmpeg command,
// and hands them out one by one: fn(index, picture); stops early when fn returns false.
inline void for_each_source_frame(const std::string &file, int width, int height,
                                  const std::function<bool(int, const std::vector<uint8_t> &)> &fn) {
  for_each_nv12_frame(file, width, height, fn,
                      "scale=" + std::to_string(width) + ":" + std::to_string(height));
}

}  // namespace pc_test
