#include "common/util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

namespace util {

int set_thread_name(const char *name) { return prctl(PR_SET_NAME, (unsigned long)name, 0, 0, 0); }

int set_realtime_priority(int level) {
  pid_t tid = (pid_t)syscall(SYS_gettid);
  struct sched_param sa = {};
  sa.sched_priority = level;
  return sched_setscheduler(tid, SCHED_FIFO, &sa);
}

int set_core_affinity(std::vector<int> cores) {
  cpu_set_t cpu;
  CPU_ZERO(&cpu);
  for (int core : cores) {
    if (core >= 0 && core < CPU_SETSIZE) CPU_SET(core, &cpu);
  }
  pid_t tid = (pid_t)syscall(SYS_gettid);
  return sched_setaffinity(tid, sizeof(cpu), &cpu);
}

int set_file_descriptor_limit(uint64_t limit_val) {
  struct rlimit limit;
  int status = getrlimit(RLIMIT_NOFILE, &limit);
  if (status < 0) return status;
  limit.rlim_cur = limit_val;
  status = setrlimit(RLIMIT_NOFILE, &limit);
  return status < 0 ? status : 0;
}

std::string read_file(const std::string &fn) {
  std::ifstream f(fn, std::ios::binary | std::ios::in);
  if (!f.is_open()) return std::string();

  f.seekg(0, std::ios::end);
  int32_t size = (int32_t)f.tellg();
  if (f.good() && size > 0) {
    std::string result(size, '\0');
    f.seekg(0, std::ios::beg);
    f.read(result.data(), size);
    if (f.good() || f.eof()) {
      result.resize(f.gcount());
      return result;
    }
  }
  // Pseudo-files report a size that is not their content: read whatever the stream yields.
  f.clear();
  std::stringstream buffer;
  buffer << f.rdbuf();
  return buffer.str();
}

std::map<std::string, std::string> read_files_in_dir(const std::string &path) {
  std::map<std::string, std::string> ret;
  DIR *d = opendir(path.c_str());
  if (!d) return ret;
  while (struct dirent *de = readdir(d)) {
    if (de->d_type != DT_DIR) {
      ret[de->d_name] = read_file(path + "/" + de->d_name);
    }
  }
  closedir(d);
  return ret;
}

int write_file(const char *path, const void *data, size_t size, int flags, mode_t mode) {
  int fd = retry_eintr([&] { return open(path, flags, mode); });
  if (fd == -1) return -1;
  ssize_t n = retry_eintr([&] { return write(fd, data, size); });
  close(fd);
  return (n >= 0 && (size_t)n == size) ? 0 : -1;
}

FILE *safe_fopen(const char *filename, const char *mode) {
  FILE *fp = nullptr;
  do {
    fp = fopen(filename, mode);
  } while (!fp && errno == EINTR);
  return fp;
}

size_t safe_fwrite(const void *ptr, size_t size, size_t count, FILE *stream) {
  size_t written = 0;
  do {
    size_t ret = fwrite((const char *)ptr + written * size, size, count - written, stream);
    if (ret == 0 && errno != EINTR) break;
    written += ret;
  } while (written != count);
  return written;
}

int safe_fflush(FILE *stream) {
  int ret;
  do {
    ret = fflush(stream);
  } while (ret == EOF && errno == EINTR);
  return ret;
}

int safe_ioctl(int fd, unsigned long request, void *argp) {
  int ret;
  do {
    ret = ioctl(fd, request, argp);
  } while (ret == -1 && errno == EINTR);
  return ret;
}

std::string readlink(const std::string &path) {
  char buff[4096];
  ssize_t len = ::readlink(path.c_str(), buff, sizeof(buff) - 1);
  if (len == -1) return std::string();
  buff[len] = '\0';
  return std::string(buff);  // cut at the first NUL
}

bool file_exists(const std::string &fn) {
  struct stat st = {};
  return stat(fn.c_str(), &st) != -1;
}

static bool is_directory(const std::string &dir) {
  struct stat st = {};
  return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

static bool createDirectory(std::string dir, mode_t mode) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();

  if (mkdir(dir.c_str(), mode) == 0) return true;
  if (errno == EEXIST) return is_directory(dir);
  if (errno != ENOENT) return false;

  auto pos = dir.find_last_of('/');
  if (pos == std::string::npos || pos == 0) return false;
  if (!createDirectory(dir.substr(0, pos), mode)) return false;
  if (mkdir(dir.c_str(), mode) == 0) return true;
  return errno == EEXIST && is_directory(dir);
}

bool create_directories(const std::string &dir, mode_t mode) {
  if (dir.empty()) return false;
  return createDirectory(dir, mode);
}

std::string dir_name(const std::string &path) {
  size_t pos = path.find_last_of('/');
  if (pos == std::string::npos) return "";
  return path.substr(0, pos);
}

std::string getenv(const char *key, std::string default_val) {
  const char *val = ::getenv(key);
  return val ? val : default_val;
}

int getenv(const char *key, int default_val) {
  const char *val = ::getenv(key);
  return val ? (int)strtol(val, nullptr, 10) : default_val;
}

float getenv(const char *key, float default_val) {
  const char *val = ::getenv(key);
  return val ? (float)strtod(val, nullptr) : default_val;
}

std::string hexdump(const uint8_t *in, const size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (size_t i = 0; i < size; i++) {
    out.push_back(digits[in[i] >> 4]);
    out.push_back(digits[in[i] & 0xf]);
  }
  return out;
}

bool starts_with(const std::string &s1, const std::string &s2) {
  return strncmp(s1.c_str(), s2.c_str(), s2.size()) == 0;
}

bool ends_with(const std::string &s1, const std::string &s2) {
  return s1.size() >= s2.size() && strcmp(s1.c_str() + (s1.size() - s2.size()), s2.c_str()) == 0;
}

int random_int(int min, int max) {
  std::random_device dev("default");
  std::mt19937 rng(dev());
  std::uniform_int_distribution<std::mt19937::result_type> dist((uint64_t)(int64_t)min, (uint64_t)(int64_t)max);
  return (int)dist(rng);
}

std::string random_string(std::string::size_type length) {
  static const char alphabet[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  std::random_device dev("default");
  std::mt19937 rng(dev());
  std::uniform_int_distribution<uint64_t> dist(0, sizeof(alphabet) - 2);
  std::string s;
  s.reserve(length);
  while (length--) s += alphabet[dist(rng)];
  return s;
}

std::string check_output(const std::string &command) {
  FILE *pipe = popen(command.c_str(), "r");
  if (!pipe) return "";
  std::string result;
  char buffer[128];
  while (fgets(buffer, sizeof(buffer), pipe) != nullptr) result += buffer;
  pclose(pipe);
  return result;
}

struct tm get_time() {
  time_t rawtime;
  time(&rawtime);
  struct tm sys_time;
  gmtime_r(&rawtime, &sys_time);
  return sys_time;
}

bool time_valid(struct tm sys_time) {
  int year = 1900 + sys_time.tm_year;
  int month = 1 + sys_time.tm_mon;
  return year > 2023 || (year == 2023 && month >= 6);
}

void sleep_for(int milliseconds) {
  if (milliseconds <= 0) return;
  struct timespec req = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  struct timespec rem = {};
  while (nanosleep(&req, &rem) == -1 && errno == EINTR) req = rem;
}

}  // namespace util
