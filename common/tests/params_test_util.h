#pragma once

// Helpers shared by the parameter store tests: a private root per test and scoped environment.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "common/util.h"

// A fresh, uniquely named directory for one test, removed with its content afterwards.
class ParamsTestRoot {
 public:
  // `dir` defaults to the system's temporary directory; "/dev/shm" makes every sync nearly free.
  explicit ParamsTestRoot(const std::string &dir = std::filesystem::temp_directory_path()) {
    std::string tmpl = dir + "/params_test_XXXXXX";
    base_ = mkdtemp(tmpl.data());
  }
  ~ParamsTestRoot() {
    std::error_code ec;
    std::filesystem::remove_all(base_, ec);
  }
  ParamsTestRoot(const ParamsTestRoot &) = delete;
  ParamsTestRoot &operator=(const ParamsTestRoot &) = delete;

  // The store root: one level below the temporary directory, so tests can see it being created.
  std::string root() const { return base_ + "/params"; }
  const std::string &base() const { return base_; }

 private:
  std::string base_;
};

// Sets (or unsets, with nullopt) an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char *name, std::optional<std::string> value) : name_(name) {
    if (const char *old = getenv(name)) old_ = old;
    if (value) {
      setenv(name, value->c_str(), 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }
  ScopedEnv(const ScopedEnv &) = delete;
  ScopedEnv &operator=(const ScopedEnv &) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// A TAVRIN_PREFIX nobody else on the machine uses.
inline std::string unique_prefix(const std::string &tag) {
  return tag + "_" + std::to_string(getpid()) + "_" + util::random_string(8);
}

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <functional>
#include <thread>

// Polls `done` every `poll` (0: without pause) until it holds or `timeout` passes; returns its
// last answer.
inline bool wait_until(const std::function<bool()> &done, std::chrono::milliseconds timeout = std::chrono::seconds(10),
                       std::chrono::microseconds poll = std::chrono::milliseconds(1)) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (poll.count() > 0) std::this_thread::sleep_for(poll);
  }
  return true;
}

// Runs `body` in a forked child, which exits with body's return value. Returns the child's pid.
inline pid_t spawn_child(const std::function<int()> &body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  return pid;
}

// Waits for a child for at most `timeout`; kills it if it overruns. Returns its exit status, or
// -1 if it had to be killed or died of a signal.
inline int wait_child(pid_t pid, std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
  int status = 0;
  bool exited = wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout);
  if (!exited) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
