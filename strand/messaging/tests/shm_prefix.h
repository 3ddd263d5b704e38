#pragma once

// A private /dev/shm directory named by TAVRIN_PREFIX for the life of the object, so that the
// queue and event files of tests running in parallel never meet; removed with its contents
// afterwards.
//
// A death test of the "threadsafe" style runs the test again in a new process, fixture and
// all, and that process ends without running destructors. There the object takes over the
// directory of the test that started it (its TAVRIN_PREFIX is inherited) and leaves it to that
// test to remove, instead of making one that nobody would remove.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

namespace messaging_test {

class ShmPrefix {
 public:
  explicit ShmPrefix(const std::string &stem = "msgq_test") {
    const char *inherited = std::getenv("TAVRIN_PREFIX");
    if (!GTEST_FLAG_GET(internal_run_death_test).empty() && inherited != nullptr) {
      name_ = inherited;
      owned_ = false;
      return;
    }
    std::random_device rd;
    name_ = stem + "_" + std::to_string(getpid()) + "_" + std::to_string(rd());
    std::filesystem::create_directories(dir());
    setenv("TAVRIN_PREFIX", name_.c_str(), 1);
  }
  ~ShmPrefix() {
    if (!owned_) return;
    unsetenv("TAVRIN_PREFIX");
    std::error_code ec;
    std::filesystem::remove_all(dir(), ec);
  }
  ShmPrefix(const ShmPrefix &) = delete;
  ShmPrefix &operator=(const ShmPrefix &) = delete;

  const std::string &name() const { return name_; }
  std::string dir() const { return "/dev/shm/" + name_; }
  std::string path(const std::string &queue) const { return dir() + "/" + queue; }

 private:
  std::string name_;
  bool owned_ = true;
};

}  // namespace messaging_test
