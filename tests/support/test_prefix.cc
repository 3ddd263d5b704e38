#include "tests/support/test_prefix.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

#include "common/util.h"

namespace fs = std::filesystem;

std::string unique_name(const std::string &stem) {
  return stem + "_" + std::to_string(getpid()) + "_" + util::random_string(8);
}

TestPrefix::TestPrefix(const std::string &stem) {
  const char *inherited = getenv("TAVRIN_PREFIX");
  if (!GTEST_FLAG_GET(internal_run_death_test).empty() && inherited != nullptr) {
    name_ = inherited;
    owned_ = false;
    return;
  }
  if (inherited != nullptr) {
    had_previous_ = true;
    previous_ = inherited;
  }
  name_ = unique_name(stem);
  fs::create_directories(dir());
  setenv("TAVRIN_PREFIX", name_.c_str(), 1);
}

TestPrefix::~TestPrefix() {
  if (!owned_) return;
  if (had_previous_) {
    setenv("TAVRIN_PREFIX", previous_.c_str(), 1);
  } else {
    unsetenv("TAVRIN_PREFIX");
  }
  std::error_code ec;
  fs::remove_all(dir(), ec);
  remove_prefix_sockets(name_);
}

void remove_prefix_sockets(const std::string &name) {
  std::error_code ec;
  fs::remove("/tmp/logmessage" + name, ec);
  const std::string start = name + "_";
  for (auto it = fs::directory_iterator("/tmp", ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    if (it->path().filename().string().rfind(start, 0) == 0) {
      std::error_code ignored;
      fs::remove_all(it->path(), ignored);
    }
  }
}
