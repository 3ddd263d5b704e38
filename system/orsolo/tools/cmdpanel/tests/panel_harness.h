#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

// Test harness for the panel: a real headless Wayland compositor in a private
// runtime directory.

// Variables over the test's environment, in order (a later entry wins).
using EnvList = std::vector<std::pair<std::string, std::string>>;

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
  TestDir runtime_{"cmdpanel"};  // mode 0700, as Wayland wants its runtime directory
  std::string socket_name_;
  std::unique_ptr<ChildProcess> weston_;
  bool ready_ = false;
};
