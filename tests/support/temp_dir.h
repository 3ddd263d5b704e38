#pragma once

// A fresh temporary directory for one test, removed with everything in it afterwards.
//
// A death test of the "threadsafe" style runs the test again in a new process, which makes the
// test's directories anew and ends without removing them. So each directory is also named in
// the environment (ROADREC_TEST_DIR_<n>, n counting the directories alive), which that process
// inherits: there a directory takes over the one its test made in the same place, and leaves it
// to that test to remove.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>

class TestDir {
 public:
  // Made under `parent` (the system's temporary directory by default; "/dev/shm" makes every
  // sync nearly free), named `<stem>_XXXXXX`, mode 0700. Throws when it cannot be made, which
  // fails the test that asked for it.
  explicit TestDir(const std::string &stem = "roadrec_test",
                   const std::string &parent = std::filesystem::temp_directory_path().string())
      : env_name_("ROADREC_TEST_DIR_" + std::to_string(alive()++)) {
    const char *inherited = getenv(env_name_.c_str());
    if (!GTEST_FLAG_GET(internal_run_death_test).empty() && inherited != nullptr) {
      path_ = inherited;
      owned_ = false;
      return;
    }
    std::string pattern = parent + "/" + stem + "_XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      alive()--;
      throw std::runtime_error("mkdtemp " + pattern + ": " + std::strerror(errno));
    }
    path_ = pattern;
    setenv(env_name_.c_str(), path_.c_str(), 1);
  }
  ~TestDir() {
    alive()--;
    if (!owned_) return;
    unsetenv(env_name_.c_str());
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TestDir(const TestDir &) = delete;
  TestDir &operator=(const TestDir &) = delete;

  const std::string &path() const { return path_; }
  std::string operator/(const std::string &name) const { return path_ + "/" + name; }

 private:
  static int &alive() {
    static int count = 0;
    return count;
  }

  std::string env_name_;
  std::string path_;
  bool owned_ = true;
};
