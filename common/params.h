#pragma once

// The device's persistent key/value store, shared by every process through one directory tree:
//
//   root/.lock               empty; writers hold an exclusive flock on it
//   root/.tmp_value_XXXXXX   a write in progress, renamed into the data directory when durable
//   root/<prefix>            link to root/.tmp_XXXXXX, the data directory ("d" by default,
//                            TAVRIN_PREFIX otherwise)
//   root/<prefix>/<key>      one file per key; its bytes are the value, nothing more
//
// The root is the constructor's path, else PARAMS_ROOT, else "/data/params". A write is never
// seen half-done: readers take no lock and see either the old or the new complete value, also
// after a crash or a power loss.
//
// A key is a plain file name: not empty, not "." or "..", without '/' or NUL. Reads, writes and
// removals of any other key fail with EINVAL (get returns an empty value). Any plain name is
// accepted, whether the key table holds it or not.

#include <future>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/params_keys.h"
#include "common/queue.h"

// The largest value the store reads or writes: a larger file, or anything but a regular file,
// reads as missing, and put refuses a larger value (EFBIG).
constexpr size_t PARAMS_MAX_VALUE_SIZE = 16 * 1024 * 1024;

class Params {
 public:
  // Makes sure the root and the data directory exist; throws std::runtime_error if it can't.
  explicit Params(const std::string &path = {});
  // Waits until every pair handed to putNonBlocking is on disk.
  ~Params();
  Params(const Params &) = delete;
  Params &operator=(const Params &) = delete;

  // Key table queries.
  std::vector<std::string> allKeys() const;
  bool checkKey(const std::string &key);
  ParamKeyType getKeyType(const std::string &key);

  // root + prefix, then "/" + key unless key is empty.
  std::string getParamPath(const std::string &key = {});

  // Removes the key's file: 0, or -1 when there was none, the key is not a plain name (EINVAL),
  // or the directory couldn't be synced.
  int remove(const std::string &key);
  // Removes, under the lock, every value file whose key carries any bit of key_type, and every
  // file that is not a key of the table. Subdirectories are left alone.
  void clearAll(ParamKeyType key_type);

  // The key's value; empty when it has no file, can't be read, is not a regular file or is over
  // PARAMS_MAX_VALUE_SIZE. Never waits on the file itself. With block set, polls every
  // 100 ms until the value is non-empty or SIGINT/SIGTERM arrives (then returns empty); the
  // process's handlers for those two signals are replaced while it waits.
  std::string get(const std::string &key, bool block = false);
  bool getBool(const std::string &key, bool block = false) { return get(key, block) == "1"; }
  // Decimal text; 0 when the value is missing or does not start with a number.
  int getInt(const std::string &key, bool block = false);
  float getFloat(const std::string &key, bool block = false);
  // Every entry of the data directory but subdirectories, with its value as get reads it,
  // read under the lock.
  std::map<std::string, std::string> readAll();

  // Atomic, durable write. 0 on success; -1 for a key that is not a plain name (EINVAL), a value
  // over PARAMS_MAX_VALUE_SIZE (EFBIG) or when the temporary file can't be made; -20 for a failed
  // or short write; otherwise the failing call's negative result with errno set.
  int put(const char *key, const char *value, size_t value_size);
  int put(const std::string &key, const std::string &value);
  int putBool(const std::string &key, bool val) { return put(key, std::string(val ? "1" : "0")); }
  int putInt(const std::string &key, int val);
  int putFloat(const std::string &key, float val);

  // Queue the write for the background writer and return at once. Pairs reach the disk in the
  // order they were queued. Call from one thread at a time per object (as the destructor).
  void putNonBlocking(const std::string &key, const std::string &val);
  void putBoolNonBlocking(const std::string &key, bool val) { putNonBlocking(key, val ? "1" : "0"); }
  void putIntNonBlocking(const std::string &key, const std::string &val) { putNonBlocking(key, val); }
  void putIntNonBlocking(const std::string &key, int val);
  void putFloatNonBlocking(const std::string &key, const std::string &val) { putNonBlocking(key, val); }
  void putFloatNonBlocking(const std::string &key, float val);

 private:
  void asyncWriteThread();
  // Starts a background writer unless one is running that is still bound to look at the queue.
  void ensureWriterRunning();

  std::string params_path;
  std::string params_prefix;
  std::future<void> future;
  SafeQueue<std::pair<std::string, std::string>> queue;

  // Guards writer_running. The writer's final look at the queue and its "I'm done" mark happen
  // under this lock, so a pair queued at any moment is either seen by the running writer or
  // starts a new one.
  std::mutex writer_lock;
  bool writer_running = false;
};
