#pragma once

// Helpers of the parameter store tests: a private root per test, and the bound of their child
// processes.

#include <chrono>
#include <string>

#include "tests/support/child_process.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_prefix.h"
#include "tests/support/wait.h"

// A fresh, uniquely named directory for one test, removed with its content afterwards.
class ParamsTestRoot {
 public:
  // `dir` defaults to the system's temporary directory; "/dev/shm" makes every sync nearly free.
  explicit ParamsTestRoot(const std::string &dir = std::filesystem::temp_directory_path())
      : base_("params_test", dir) {}

  // The store root: one level below the temporary directory, so tests can see it being created.
  std::string root() const { return base_ / "params"; }
  const std::string &base() const { return base_.path(); }

 private:
  TestDir base_;
};

// How long a writer or reader process of these tests may take.
constexpr std::chrono::seconds CHILD_TIMEOUT(60);
