#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

// Test harness for the panel: a real headless Wayland compositor in a private
// runtime directory, and a bounded run of the cmdpanel program against it.

// Everything a finished (or killed) child left behind.
struct ChildResult {
  bool timed_out = false;
  bool exited = false;  // false when a signal ended it
  int status = -1;      // exit status, or the signal number when !exited
  std::string out;
  std::string err;
};

using EnvList = std::vector<std::pair<std::string, std::string>>;

// Runs argv with the current environment plus `env` (which overrides), captures
// both output streams, and kills the child if it has not ended by `timeout`.
ChildResult run_bounded(const std::vector<std::string> &argv, const EnvList &env,
                        std::chrono::milliseconds timeout);

// A scratch directory (mode 0700, as Wayland wants its runtime directory) removed with its contents.
class ScratchDir {
public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir &) = delete;
  ScratchDir &operator=(const ScratchDir &) = delete;
  const std::string &path() const { return path_; }

private:
  std::string path_;
};

// A `weston` with its headless backend and one 2160x1080 output, listening on
// a socket of its own. Stopped (and killed if need be) by the destructor.
class HeadlessCompositor {
public:
  HeadlessCompositor();
  ~HeadlessCompositor();
  HeadlessCompositor(const HeadlessCompositor &) = delete;
  HeadlessCompositor &operator=(const HeadlessCompositor &) = delete;

  // True once a client connection to the socket succeeded.
  bool ready() const { return ready_; }
  // The variables a Wayland client needs to reach this compositor.
  EnvList client_env() const;
  const std::string &runtime_dir() const { return runtime_.path(); }
  std::string log() const;

private:
  ScratchDir runtime_;
  std::string socket_name_;
  pid_t pid_ = -1;
  bool ready_ = false;
};

std::string read_file(const std::string &path);
