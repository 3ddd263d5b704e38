#pragma once

// Small system helpers shared by every process: files, environment, strings, time, randomness.
// Every function is stateless and reentrant; failures come back as return values, never as
// exceptions for an operating-system error.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace util {

// A system call that fails with EINTR is attempted again, at most this many times more
// (EINTR_RETRIES + 1 attempts in all). The last attempt's result stands, so -1/EINTR after
// the final attempt is reported as a failure.
constexpr int EINTR_RETRIES = 100;

template <typename F>
auto retry_eintr(F &&call) -> decltype(call()) {
  auto ret = call();
  for (int i = 0; i < EINTR_RETRIES && ret == -1 && errno == EINTR; i++) {
    ret = call();
  }
  return ret;
}

// Process and thread control.
int set_thread_name(const char *name);
int set_realtime_priority(int level);
int set_core_affinity(std::vector<int> cores);
int set_file_descriptor_limit(uint64_t limit_val);

// Files.
std::string read_file(const std::string &fn);
std::map<std::string, std::string> read_files_in_dir(const std::string &path);
int write_file(const char *path, const void *data, size_t size, int flags = O_WRONLY | O_CREAT | O_TRUNC,
               mode_t mode = 0664);
FILE *safe_fopen(const char *filename, const char *mode);
size_t safe_fwrite(const void *ptr, size_t size, size_t count, FILE *stream);
int safe_fflush(FILE *stream);
int safe_ioctl(int fd, unsigned long request, void *argp);
std::string readlink(const std::string &path);
bool file_exists(const std::string &fn);
bool create_directories(const std::string &dir, mode_t mode);
std::string dir_name(const std::string &path);

// Environment: the variable's value when set (even when empty), else the default.
std::string getenv(const char *key, std::string default_val);
int getenv(const char *key, int default_val);
float getenv(const char *key, float default_val);

// Strings, time and randomness.
template <typename... Args>
std::string string_format(const std::string &format, Args... args) {
  int size = snprintf(nullptr, 0, format.c_str(), args...);
  if (size <= 0) return std::string();
  std::unique_ptr<char[]> buf(new char[size + 1]);
  snprintf(buf.get(), size + 1, format.c_str(), args...);
  return std::string(buf.get(), buf.get() + size);
}

std::string hexdump(const uint8_t *in, const size_t size);
bool starts_with(const std::string &s1, const std::string &s2);
bool ends_with(const std::string &s1, const std::string &s2);
int random_int(int min, int max);
std::string random_string(std::string::size_type length);
std::string check_output(const std::string &command);
struct tm get_time();
bool time_valid(struct tm sys_time);
void sleep_for(int milliseconds);

}  // namespace util
