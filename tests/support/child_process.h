#pragma once

// Processes a test starts: programs run beside the test (ChildProcess), and forked copies of the
// test that run a piece of it in a process of their own (fork_child). Every wait on them is
// bounded, and none outlives the test: each is killed and reaped at the end, also when the test
// fails, and dies with the test process should that be killed.

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

// Variables set for a program over the environment of the test (or instead of it).
using EnvVars = std::map<std::string, std::string>;

// Starts `argv` (a program found on PATH when it names no directory) in `cwd` ("" for the test's
// own), with `env` set over the test's environment, or as its whole environment when
// `inherit_env` is false. Standard input is `in_fd` (-1: /dev/null); standard output and error
// go to `out_fd` and `err_fd` (-1: the test's own). The program is killed when the test process
// dies. Its pid, or -1 when it could not be started (the program could not be run, for one).
pid_t spawn_program(const std::vector<std::string> &argv, const EnvVars &env, bool inherit_env,
                    const std::string &cwd, int in_fd, int out_fd, int err_fd);

// A program running beside the test, its standard output kept in a file. Killed and reaped on
// destruction if it is still running.
class ChildProcess {
 public:
  // Started in `cwd` with `env` set over the test's environment; standard output and error go to
  // the file `out_path`, or standard error to `err_path` when one is given.
  ChildProcess(const std::vector<std::string> &argv, const EnvVars &env, const std::string &cwd,
               const std::string &out_path, const std::string &err_path = "");
  // Started in the test's directory; standard output goes to an unnamed file that read_line()
  // and output() read, standard error stays the test's.
  explicit ChildProcess(const std::vector<std::string> &argv, const EnvVars &env = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess &) = delete;
  ChildProcess &operator=(const ChildProcess &) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  bool running();
  // Waits at most `timeout_ms` for the program to end; its wait status, or -1 while it runs on.
  int wait_exit(int timeout_ms);
  // Sends `sig` if the program still runs, then wait_exit(timeout_ms).
  int stop(int sig = SIGTERM, int timeout_ms = 30000);

  // Everything the program wrote to its standard output so far.
  std::string output() const;
  // The next line of output not yet read (without its newline), waiting at most `timeout_ms`;
  // false when none came in time or the program ended without finishing one.
  bool read_line(std::string *line, int timeout_ms);

 private:
  void start(const std::vector<std::string> &argv, const EnvVars &env, const std::string &cwd, int err_fd);

  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = -1;
  int out_fd_ = -1;  // the output file, read with pread so that the program's offset stays its own
  off_t read_offset_ = 0;
  std::string pending_;  // read but not yet handed out by read_line
};

// Runs `body` in a forked child, which exits with body's return value (99 when it throws) and is
// killed should the test process die. The child's pid, or -1 when fork failed.
pid_t fork_child(const std::function<int()> &body);

// Waits at most `timeout` for the child `pid` to end, killing and reaping it when late. Its wait
// status, or nullopt when it had to be killed or is no child of ours (-1 from a failed
// fork_child among them).
std::optional<int> wait_child_status(pid_t pid, std::chrono::milliseconds timeout);

// The same as an exit status: -1 when the child died of a signal, had to be killed or is no
// child of ours.
int wait_child(pid_t pid, std::chrono::milliseconds timeout = std::chrono::seconds(20));
