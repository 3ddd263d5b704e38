#pragma once

// One test's own world for the programs it starts: a TAVRIN_PREFIX of its own (queues under
// /dev/shm, sockets under /tmp), and a run directory named after it with the parameter store in it
// (PARAMS_ROOT), where each program started keeps its output. The prefix's files always go at the
// end; the run directory too, unless keep() asked to leave it for a failed test's logs.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/test_prefix.h"

class TestWorld {
 public:
  // The run directory is `<runs_root>/<prefix>`, the prefix named after `stem`.
  explicit TestWorld(const std::string &runs_root, const std::string &stem = "_world");
  ~TestWorld();
  TestWorld(const TestWorld &) = delete;
  TestWorld &operator=(const TestWorld &) = delete;

  const std::string &prefix() const { return prefix_.name(); }
  const std::string &dir() const { return dir_; }
  std::string path(const std::string &name) const { return dir_ + "/" + name; }
  // What every program of this world is started with: TAVRIN_PREFIX, PARAMS_ROOT, and whatever
  // the test adds.
  EnvVars &env() { return env_; }
  const EnvVars &env() const { return env_; }
  void keep() { keep_ = true; }

  // Starts a program of this world in its run directory, with `extra_env` over env(); its output
  // goes to <dir>/<name>.out.
  std::unique_ptr<ChildProcess> start(const std::string &name, const std::vector<std::string> &argv,
                                      const EnvVars &extra_env = {}) const;

 private:
  TestPrefix prefix_;
  std::string dir_;
  EnvVars env_;
  bool keep_ = false;
};
