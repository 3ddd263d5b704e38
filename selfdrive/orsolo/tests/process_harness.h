#pragma once

// Real processes for end-to-end tests: the log collector, the simulator and the recorder, each
// spawned with this test's own TAVRIN_PREFIX and PARAMS_ROOT, its output kept in a file.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

class ChildProcess {
 public:
  // Starts `argv` in `cwd` with `env` added to this process's environment, standard output and
  // error going to `out_path`.
  ChildProcess(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env,
               const std::string &cwd, const std::string &out_path)
      : out_path_(out_path) {
    pid_ = fork();
    if (pid_ == 0) {
      for (auto &[k, v] : env) setenv(k.c_str(), v.c_str(), 1);
      int fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd >= 0) {
        dup2(fd, 1);
        dup2(fd, 2);
      }
      if (chdir(cwd.c_str()) != 0) _exit(126);
      std::vector<char *> args;
      for (auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
  }
  ~ChildProcess() {
    if (running()) {
      kill(pid_, SIGKILL);
      wait_exit(5000);
    }
  }
  ChildProcess(const ChildProcess &) = delete;
  ChildProcess &operator=(const ChildProcess &) = delete;

  bool running() {
    if (exited_) return false;
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_) record(status);
    return !exited_;
  }
  // Waits up to `timeout_ms` for the process to end; its wait status, or -1 if still running.
  int wait_exit(int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (running() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return exited_ ? status_ : -1;
  }
  int stop(int sig = SIGTERM, int timeout_ms = 30000) {
    if (running()) kill(pid_, sig);
    return wait_exit(timeout_ms);
  }
  std::string output() const {
    std::ifstream f(out_path_);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  pid_t pid() const { return pid_; }

 private:
  void record(int status) {
    exited_ = true;
    status_ = status;
  }
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = -1;
  std::string out_path_;
};

// Polls `cond` every `poll_ms` until it holds or `timeout_ms` passes.
inline bool wait_until(const std::function<bool()> &cond, int timeout_ms, int poll_ms = 20) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(poll_ms));
  }
  return true;
}

// Standard output of a shell command.
inline std::string run_command(const std::string &cmd) {
  std::string out;
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}
