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
  ParamsTestRoot() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "params_test_XXXXXX").string();
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
