#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

// A fresh temporary directory for one test, removed with everything in it afterwards.
class TestDir {
 public:
  TestDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "roadrec_test_XXXXXX").string();
    path_ = mkdtemp(tmpl.data());
  }
  ~TestDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TestDir(const TestDir &) = delete;
  TestDir &operator=(const TestDir &) = delete;

  const std::string &path() const { return path_; }
  std::string operator/(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};
