#pragma once

// A program run to its end, its output collected, within a time limit: a hung program fails the
// test that ran it instead of holding it until the test runner's own time-out.

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

struct RunOptions {
  EnvVars env;              // set over the test's environment
  bool inherit_env = true;  // false: `env` is the program's whole environment
  std::string input;        // its standard input ("" : /dev/null)
  std::chrono::milliseconds timeout = std::chrono::seconds(30);  // then it is killed
};

struct RunResult {
  bool timed_out = false;  // still running at the time limit, and killed
  bool exited = false;     // ended by exiting, not by a signal
  int status = -1;         // its exit status when it exited, else -1
  int signal = 0;          // the signal that ended it when it did not exit
  std::string out, err;    // what it wrote on its standard output and error
};

RunResult run_program(const std::vector<std::string> &argv, const RunOptions &options = {});

// A shell command line (`/bin/sh -c command`).
RunResult run_command(const std::string &command, const RunOptions &options = {});
