#include "common/params.h"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <stdexcept>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include "common/fatal_check.h"
#include "common/swaglog.h"
#include "common/util.h"
#include "system/hardware/hw.h"

namespace {

// Set by a signal to end a blocking get; process-wide, like the handlers it belongs to.
volatile sig_atomic_t params_do_exit = 0;

void params_sig_handler(int) { params_do_exit = 1; }

// Makes the directory entries of `path` durable (a rename is not on disk until its directory is).
int fsync_dir(const std::string &path) {
  int fd = util::retry_eintr([&] { return open(path.c_str(), O_RDONLY | O_CLOEXEC); });
  if (fd < 0) return -1;
  int result = fsync(fd);
  int saved_errno = errno;
  close(fd);
  errno = saved_errno;
  return result;
}

// Exclusive flock on the store's lock file, held for the object's life. If the file can't be
// opened or locked the failure is logged and the caller goes on without the lock: a value that
// lands unguarded is better than a value lost.
class FileLock {
 public:
  explicit FileLock(const std::string &fn) {
    // Close-on-exec: a child spawned meanwhile by another thread must not inherit (and so keep
    // holding) the lock after this object has released it.
    fd_ = util::retry_eintr([&] { return open(fn.c_str(), O_CREAT | O_RDONLY | O_CLOEXEC, 0775); });
    if (fd_ < 0 || util::retry_eintr([&] { return flock(fd_, LOCK_EX); }) < 0) {
      LOGE("Failed to lock file %s, errno=%d", fn.c_str(), errno);
    }
  }
  ~FileLock() {
    if (fd_ >= 0) close(fd_);
  }
  FileLock(const FileLock &) = delete;
  FileLock &operator=(const FileLock &) = delete;

 private:
  int fd_ = -1;
};

// Makes sure param_path exists and key_path resolves to a directory. The data directory is made
// under a random name and then published as a link at key_path. Processes that start on a fresh
// root at the same moment must all end up on the first published link: a process whose link
// replaced an earlier one would write its values into a directory nobody else reads.
bool create_params_path(const std::string &param_path, const std::string &key_path) {
  if (!util::file_exists(param_path) && !util::create_directories(param_path, 0775)) {
    return false;
  }
  // file_exists follows the link, so a link whose directory was deleted is made anew.
  if (util::file_exists(key_path)) return true;

  // Only a link that leads nowhere may be replaced, and "leads nowhere" must still hold at the
  // moment of the replacement: settle it among ourselves under the store's lock.
  FileLock lock(param_path + "/.lock");
  if (util::file_exists(key_path)) return true;  // made while we waited for the lock

  std::string tmp_path = param_path + "/.tmp_XXXXXX";
  const char *tmp_dir = mkdtemp(tmp_path.data());
  if (tmp_dir == nullptr) return false;

  struct stat existing;
  if (lstat(key_path.c_str(), &existing) != 0) {
    // Nothing there yet. symlink never replaces: if another process (one that went without the
    // lock) got there first, its link stays and our directory goes.
    if (symlink(tmp_dir, key_path.c_str()) == 0) return true;
    int saved_errno = errno;
    rmdir(tmp_dir);
    errno = saved_errno;
    return errno == EEXIST && util::file_exists(key_path);
  }

  // A dangling link: replace it in one step, through a link made beside the new directory.
  std::string link_path = std::string(tmp_dir) + ".link";
  if (symlink(tmp_dir, link_path.c_str()) != 0) return false;
  if (rename(link_path.c_str(), key_path.c_str()) != 0 && errno != EEXIST) return false;
  return true;
}

// A key is a plain file name inside the data directory. Anything else would name the directory
// itself, its parent, or a path beyond it: a write there replaces the data directory link or
// lands outside the store.
bool is_plain_key(const char *key, size_t length) {
  if (length == 0) return false;
  if (key[0] == '.' && (length == 1 || (length == 2 && key[1] == '.'))) return false;
  // A NUL inside a std::string key would cut the path short at a different name.
  return memchr(key, '/', length) == nullptr && memchr(key, '\0', length) == nullptr;
}

// Reads a value file. Only a regular file counts: a FIFO would hold the reader up and a device
// (a link to /dev/zero, say) would feed it without end. The open does not block either
// (O_NONBLOCK: a FIFO opens at once without a writer). Anything else, a read error, or a file
// over PARAMS_MAX_VALUE_SIZE reads as missing.
std::string read_value_file(const std::string &path) {
  int fd = util::retry_eintr([&] { return open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); });
  if (fd < 0) return {};
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (uint64_t)st.st_size > PARAMS_MAX_VALUE_SIZE) {
    close(fd);
    return {};
  }
  // Sized from fstat, with a byte to spare that shows a file growing under a foreign writer;
  // such a file is read on, up to the limit.
  std::string value((size_t)st.st_size + 1, '\0');
  size_t got = 0;
  bool ok = true;
  while (ok) {
    ssize_t n = util::retry_eintr([&] { return read(fd, value.data() + got, value.size() - got); });
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    got += (size_t)n;
    if (got == value.size()) {
      ok = value.size() <= PARAMS_MAX_VALUE_SIZE;
      value.resize(std::min(value.size() * 2, PARAMS_MAX_VALUE_SIZE + 1));
    }
  }
  close(fd);
  if (!ok) return {};
  value.resize(got);
  return value;
}

std::string ensure_params_path(const std::string &prefix, const std::string &path) {
  std::string params_path = path.empty() ? Path::params() : path;
  if (!create_params_path(params_path, params_path + prefix)) {
    throw std::runtime_error(util::string_format("Failed to ensure params path, errno=%d, path=%s, param_prefix=%s",
                                                 errno, params_path.c_str(), prefix.c_str()));
  }
  return params_path;
}

// Decimal text, enough digits that a float reads back as the same value.
std::string float_text(float val) { return util::string_format("%.9g", val); }

}  // namespace

Params::Params(const std::string &path) {
  params_prefix = "/" + util::getenv("TAVRIN_PREFIX", std::string("d"));
  params_path = ensure_params_path(params_prefix, path);
}

Params::~Params() {
  if (future.valid()) future.wait();
  // The writer only stops after seeing the queue empty under writer_lock, and nothing else
  // queues while the object is being destroyed, so nothing can be left behind.
  FATAL_CHECK(queue.empty());
}

std::vector<std::string> Params::allKeys() const {
  std::vector<std::string> ret;
  ret.reserve(param_keys().size());
  for (const auto &[name, flags] : param_keys()) ret.push_back(name);
  return ret;
}

bool Params::checkKey(const std::string &key) { return param_keys().count(key) > 0; }

ParamKeyType Params::getKeyType(const std::string &key) {
  auto it = param_keys().find(key);
  return static_cast<ParamKeyType>(it == param_keys().end() ? 0 : it->second);
}

std::string Params::getParamPath(const std::string &key) {
  return key.empty() ? params_path + params_prefix : params_path + params_prefix + "/" + key;
}

int Params::put(const char *key, const char *value, size_t value_size) {
  if (key == nullptr || !is_plain_key(key, strlen(key))) {
    errno = EINVAL;
    return -1;
  }
  // A value no get could read back must not be reported as stored.
  if (value_size > PARAMS_MAX_VALUE_SIZE) {
    errno = EFBIG;
    return -1;
  }
  // Written and synced beside the store, then moved in whole: a reader (or a restart after a
  // crash) finds the old value or the new one, never a part.
  std::string tmp_path = params_path + "/.tmp_value_XXXXXX";
  int tmp_fd = mkostemp(tmp_path.data(), O_CLOEXEC);
  if (tmp_fd < 0) return -1;

  int result = -1;
  bool renamed = false;
  do {
    ssize_t written = util::retry_eintr([&] { return write(tmp_fd, value, value_size); });
    if (written < 0 || static_cast<size_t>(written) != value_size) {
      result = -20;
      break;
    }
    if ((result = fsync(tmp_fd)) < 0) break;

    FileLock lock(params_path + "/.lock");
    if ((result = rename(tmp_path.c_str(), getParamPath(key).c_str())) < 0) break;
    renamed = true;
    result = fsync_dir(getParamPath());
  } while (false);

  int saved_errno = errno;
  close(tmp_fd);
  // After the rename the name is free again and another writer's mkstemp may have taken it.
  if (!renamed) unlink(tmp_path.c_str());
  errno = saved_errno;
  return result;
}

int Params::put(const std::string &key, const std::string &value) {
  // Checked here as well: the C string below would end at a NUL inside the key.
  if (!is_plain_key(key.data(), key.size())) {
    errno = EINVAL;
    return -1;
  }
  return put(key.c_str(), value.data(), value.size());
}

int Params::putInt(const std::string &key, int val) { return put(key, std::to_string(val)); }

int Params::putFloat(const std::string &key, float val) { return put(key, float_text(val)); }

int Params::remove(const std::string &key) {
  if (!is_plain_key(key.data(), key.size())) {  // would unlink the data directory link, or beyond it
    errno = EINVAL;
    return -1;
  }
  FileLock lock(params_path + "/.lock");
  int result = unlink(getParamPath(key).c_str());
  if (result != 0) return result;
  return fsync_dir(getParamPath());
}

std::string Params::get(const std::string &key, bool block) {
  if (!is_plain_key(key.data(), key.size())) {
    errno = EINVAL;
    return {};
  }
  if (!block) return read_value_file(getParamPath(key));

  params_do_exit = 0;
  void (*prev_handler_sigint)(int) = std::signal(SIGINT, params_sig_handler);
  void (*prev_handler_sigterm)(int) = std::signal(SIGTERM, params_sig_handler);

  std::string value;
  while (!params_do_exit) {
    value = read_value_file(getParamPath(key));
    if (!value.empty()) break;
    util::sleep_for(100);
  }

  std::signal(SIGTERM, prev_handler_sigterm);
  std::signal(SIGINT, prev_handler_sigint);
  return value;
}

int Params::getInt(const std::string &key, bool block) {
  return static_cast<int>(std::strtol(get(key, block).c_str(), nullptr, 10));
}

float Params::getFloat(const std::string &key, bool block) { return std::strtof(get(key, block).c_str(), nullptr); }

std::map<std::string, std::string> Params::readAll() {
  FileLock lock(params_path + "/.lock");
  std::map<std::string, std::string> values;
  if (DIR *d = opendir(getParamPath().c_str())) {
    while (struct dirent *de = readdir(d)) {
      if (de->d_type != DT_DIR) values[de->d_name] = read_value_file(getParamPath(de->d_name));
    }
    closedir(d);
  }
  return values;
}

void Params::clearAll(ParamKeyType key_type) {
  FileLock lock(params_path + "/.lock");

  if (DIR *d = opendir(getParamPath().c_str())) {
    while (struct dirent *de = readdir(d)) {
      if (de->d_type == DT_DIR) continue;
      auto it = param_keys().find(de->d_name);
      if (it == param_keys().end() || (it->second & key_type) != 0) {
        unlink(getParamPath(de->d_name).c_str());
      }
    }
    closedir(d);
  }
  fsync_dir(getParamPath());
}

void Params::putNonBlocking(const std::string &key, const std::string &val) {
  queue.push(std::make_pair(key, val));
  ensureWriterRunning();
}

void Params::putIntNonBlocking(const std::string &key, int val) { putNonBlocking(key, std::to_string(val)); }

void Params::putFloatNonBlocking(const std::string &key, float val) { putNonBlocking(key, float_text(val)); }

void Params::ensureWriterRunning() {
  std::unique_lock<std::mutex> lk(writer_lock);
  if (writer_running) return;  // it has not yet made its last check of the queue: it will see ours

  // A previous writer, if any, has marked itself done and is only returning.
  if (future.valid()) future.wait();
  try {
    future = std::async(std::launch::async, &Params::asyncWriteThread, this);
    writer_running = true;
    return;
  } catch (const std::system_error &e) {
    LOGE("Failed to start the parameter writer (%s); writing in the caller", e.what());
  }
  // No thread to be had: write the queue here rather than strand it.
  lk.unlock();
  asyncWriteThread();
}

void Params::asyncWriteThread() {
  std::pair<std::string, std::string> pair;
  while (true) {
    {
      std::lock_guard<std::mutex> lk(writer_lock);
      if (!queue.try_pop(pair, 0)) {
        writer_running = false;
        return;
      }
    }
    if (put(pair.first, pair.second) != 0) {
      LOGE("Failed to write param %s in the background, errno=%d", pair.first.c_str(), errno);
    }
  }
}
