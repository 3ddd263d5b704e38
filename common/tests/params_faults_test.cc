// Failures of the file system under a write: each is reported, and the stored value stays whole.

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <zmq.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "common/params.h"
#include "common/util.h"
#include "common/swaglog.h"
#include "common/tests/params_test_util.h"
#include "system/hardware/hw.h"

namespace fs = std::filesystem;

namespace {

bool has_temp_value_files(const std::string &root) {
  for (const auto &e : fs::directory_iterator(root)) {
    if (e.path().filename().string().rfind(".tmp_value_", 0) == 0) return true;
  }
  return false;
}

}  // namespace

// A full file system (here: the file size limit) cuts the write short: -20, old value intact.
TEST(ParamsFaults, ShortWriteFailsAndKeepsOldValue) {
  ParamsTestRoot tmp;
  ScopedEnv no_prefix("TAVRIN_PREFIX", std::nullopt);
  for (rlim_t limit : {rlim_t(0), rlim_t(100)}) {
    Params params(tmp.root());
    ASSERT_EQ(params.put("DashcamDebug", "old value"), 0);
    pid_t child = fork_child([&] {
      signal(SIGXFSZ, SIG_IGN);
      struct rlimit rl = {limit, limit};
      if (setrlimit(RLIMIT_FSIZE, &rl) != 0) return 10;
      return params.put("DashcamDebug", std::string(1000, 'n')) == -20 ? 0 : 1;
    });
    EXPECT_EQ(wait_child(child, CHILD_TIMEOUT), 0) << "limit " << limit;
    EXPECT_EQ(params.get("DashcamDebug"), "old value");
    EXPECT_FALSE(has_temp_value_files(tmp.root()));
  }
}

TEST(ParamsFaults, RenameOntoDirectoryFails) {
  ParamsTestRoot tmp;
  ScopedEnv no_prefix("TAVRIN_PREFIX", std::nullopt);
  Params params(tmp.root());
  fs::create_directories(params.getParamPath("Blocked") + "/inner");
  errno = 0;
  EXPECT_LT(params.put("Blocked", "x"), 0);
  EXPECT_NE(errno, 0);
  EXPECT_TRUE(fs::is_directory(params.getParamPath("Blocked") + "/inner"));
  EXPECT_FALSE(has_temp_value_files(tmp.root()));
}

// The n-th descriptor number the process would hand out next (n = 1: the lowest free one).
int nth_free_fd(int n) {
  std::vector<int> fds;
  for (int i = 0; i < n; i++) fds.push_back(dup(0));
  int nth = fds.back();
  for (int fd : fds) close(fd);
  return nth;
}

// Out of descriptors just when the directory is to be synced: the value is in place, but the
// caller hears that it may not be durable.
TEST(ParamsFaults, DirectorySyncFailureIsReported) {
  ParamsTestRoot tmp;
  ScopedEnv no_prefix("TAVRIN_PREFIX", std::nullopt);
  Params params(tmp.root());
  ASSERT_EQ(params.put("DashcamDebug", "old"), 0);
  pid_t child = fork_child([&] {
    struct rlimit normal = {};
    getrlimit(RLIMIT_NOFILE, &normal);
    // Only the descriptors below `limit` can be had until the limit is lifted again.
    auto cap_descriptors = [&](rlim_t limit) {
      struct rlimit rl = {limit, normal.rlim_max};
      return setrlimit(RLIMIT_NOFILE, &rl) == 0;
    };
    auto lift_cap = [&] { return setrlimit(RLIMIT_NOFILE, &normal) == 0; };

    // put holds the temporary file and the lock when it opens the directory: the third descriptor.
    if (!cap_descriptors(nth_free_fd(3))) return 10;
    errno = 0;
    int put_result = params.put("DashcamDebug", "new");
    int put_errno = errno;
    if (!lift_cap()) return 10;
    if (put_result != -1 || put_errno != EMFILE) return 1;
    if (params.get("DashcamDebug") != "new") return 2;

    // remove holds only the lock when it opens the directory: the second descriptor.
    if (!cap_descriptors(nth_free_fd(2))) return 10;
    int remove_result = params.remove("DashcamDebug");
    if (!lift_cap()) return 10;
    if (remove_result != -1) return 3;
    return util::file_exists(params.getParamPath("DashcamDebug")) ? 4 : 0;
  });
  EXPECT_EQ(wait_child(child, CHILD_TIMEOUT), 0)
      << "1: put result, 2: value not in place, 3: remove result, 4: not removed";
  EXPECT_FALSE(has_temp_value_files(tmp.root()));
}

TEST(ParamsFaults, VanishedRootFailsCleanly) {
  ParamsTestRoot tmp;
  ScopedEnv no_prefix("TAVRIN_PREFIX", std::nullopt);
  Params params(tmp.root());
  ASSERT_EQ(params.put("DashcamDebug", "x"), 0);
  fs::remove_all(tmp.root());
  EXPECT_EQ(params.put("DashcamDebug", "y"), -1);
  EXPECT_EQ(params.get("DashcamDebug"), "");
  EXPECT_EQ(params.remove("DashcamDebug"), -1);
  EXPECT_TRUE(params.readAll().empty());
  params.clearAll(ALL);  // nothing to do, nothing to crash on
}

// The lock file can't be opened (a directory sits at its name): every call logs the failure at
// error level, naming the lock's constructor, and the value still lands. The writes run in a
// process of their own: a process's logging goes to the endpoint of the prefix it had at its
// first log call, and earlier cases of this binary may have logged under another prefix.
TEST(ParamsFaults, UnopenableLockIsLoggedAndWriteLands) {
  ParamsTestRoot tmp;
  TestPrefix prefix("lockfail");  // the collector's endpoint below is the prefix's, and goes with it

  void *ctx = zmq_ctx_new();
  void *collector = zmq_socket(ctx, ZMQ_PULL);
  int timeout_ms = 5000;
  zmq_setsockopt(collector, ZMQ_RCVTIMEO, &timeout_ms, sizeof(timeout_ms));
  ASSERT_EQ(zmq_bind(collector, Path::swaglog_ipc().c_str()), 0) << zmq_strerror(zmq_errno());
  auto next_record = [&]() -> nlohmann::json {
    char buf[65536];
    int n = zmq_recv(collector, buf, sizeof(buf), 0);
    if (n <= 1) return nullptr;
    return nlohmann::json::parse(std::string(buf + 1, std::min<size_t>(n, sizeof(buf)) - 1));
  };

  Params params(tmp.root());  // the store exists: the writer's constructor takes no lock
  fs::remove(tmp.root() + "/.lock");
  fs::create_directory(tmp.root() + "/.lock");
  const pid_t writer = spawn_program(
      {PARAMS_PUT, tmp.root(), "DashcamDebug", "first", "DashcamDebug", "second"}, {}, true, "", -1, -1, -1);
  ASSERT_GT(writer, 0);
  EXPECT_EQ(wait_child(writer, CHILD_TIMEOUT), 0) << "a write failed";
  EXPECT_EQ(params.get("DashcamDebug"), "second");

  std::string expected_msg = "Failed to lock file " + tmp.root() + "/.lock, errno=" + std::to_string(EISDIR);
  for (int i = 0; i < 2; i++) {
    nlohmann::json rec = next_record();
    ASSERT_TRUE(rec.is_object()) << "lock failure record " << i << " not received";
    EXPECT_EQ(rec["levelnum"], 40);
    EXPECT_EQ(rec["funcname"], "FileLock");
    EXPECT_EQ(rec["msg"], expected_msg);
  }
  nlohmann::json rec = next_record();
  ASSERT_TRUE(rec.is_object());
  EXPECT_EQ(rec["msg"], "done") << "more than one lock failure logged per write";

  zmq_close(collector);
  zmq_ctx_destroy(ctx);
}

// Keys that are not plain file names (the empty one among them) would reach the data directory
// link itself or paths beyond the store: every operation refuses them with EINVAL and touches
// nothing.
TEST(ParamsFaults, KeysThatAreNotPlainNamesAreRefused) {
  ParamsTestRoot tmp;
  ScopedEnv no_prefix("TAVRIN_PREFIX", std::nullopt);
  Params params(tmp.root());
  ASSERT_EQ(params.put("DashcamDebug", "kept"), 0);
  const std::string outside = tmp.base() + "/outside";
  std::ofstream(outside) << "not a value";

  const std::string keys[] = {"", ".", "..", "../d", "../../outside", "sub/key", "/abs",
                              std::string("DashcamDebug\0/../../outside", 27)};
  for (const std::string &key : keys) {
    SCOPED_TRACE("key '" + key + "'");
    errno = 0;
    EXPECT_EQ(params.put(key, "x"), -1);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(params.remove(key), -1);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(params.get(key), "");
    EXPECT_EQ(errno, EINVAL);
  }
  EXPECT_TRUE(fs::is_symlink(tmp.root() + "/d"));
  EXPECT_EQ(util::read_file(outside), "not a value");
  EXPECT_FALSE(has_temp_value_files(tmp.root()));
  EXPECT_EQ(Params(tmp.root()).get("DashcamDebug"), "kept");
  // Names that merely start with a dot are plain names.
  ASSERT_EQ(params.put("...", "dots"), 0);
  EXPECT_EQ(params.get("..."), "dots");
}

// A value file that is not a regular file must neither hold the reader up (a FIFO without a
// writer) nor feed it without end (a device): it reads as missing, in get and in readAll. The
// reads run in a child that is killed if it hangs.
TEST(ParamsFaults, SpecialFilesReadAsMissing) {
  ParamsTestRoot tmp;
  ScopedEnv no_prefix("TAVRIN_PREFIX", std::nullopt);
  Params params(tmp.root());
  ASSERT_EQ(params.put("DashcamDebug", "kept"), 0);
  ASSERT_EQ(mkfifo(params.getParamPath("DashcamShutdown").c_str(), 0600), 0);
  fs::create_symlink("/dev/zero", params.getParamPath("CarParams"));
  fs::create_symlink("/dev/null", params.getParamPath("CarVin"));
  fs::create_symlink(tmp.base(), params.getParamPath("GitDiff"));  // a directory behind a link
  // Sparse files: one byte over the limit reads as missing, the limit itself reads whole.
  fs::resize_file((std::ofstream(params.getParamPath("ApiCache_Device")), params.getParamPath("ApiCache_Device")),
                  PARAMS_MAX_VALUE_SIZE + 1);
  fs::resize_file((std::ofstream(params.getParamPath("GitCommit")), params.getParamPath("GitCommit")),
                  PARAMS_MAX_VALUE_SIZE);

  pid_t child = fork_child([&] {
#ifndef __SANITIZE_ADDRESS__
    // Should a read run away after all, let it fail here rather than take the machine's memory.
    struct rlimit rl = {rlim_t(2) << 30, rlim_t(2) << 30};
    setrlimit(RLIMIT_AS, &rl);
#endif
    for (const char *key : {"DashcamShutdown", "CarParams", "CarVin", "GitDiff", "ApiCache_Device"}) {
      if (!params.get(key).empty()) return 1;
    }
    if (params.getBool("DashcamShutdown")) return 1;
    if (params.get("GitCommit") != std::string(PARAMS_MAX_VALUE_SIZE, '\0')) return 2;
    std::map<std::string, std::string> all = params.readAll();
    if (all.size() != 7 || all["DashcamDebug"] != "kept" || !all["DashcamShutdown"].empty() ||
        !all["CarParams"].empty() || !all["ApiCache_Device"].empty()) {
      return 3;
    }
    return 0;
  });
  EXPECT_EQ(wait_child(child, std::chrono::seconds(20)), 0)
      << "1: a special or oversized file read as a value, 2: a value at the limit not read whole, "
         "3: readAll wrong, -1: a read hung or crashed";

  // What could not be read back is not accepted either.
  errno = 0;
  EXPECT_EQ(params.put("CarParams", std::string(PARAMS_MAX_VALUE_SIZE + 1, 'x')), -1);
  EXPECT_EQ(errno, EFBIG);
  EXPECT_FALSE(has_temp_value_files(tmp.root()));
}
