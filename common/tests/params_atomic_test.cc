// Atomicity across processes: readers never see part of a value, whatever the writers do,
// including dying in the middle of a write.

#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <random>
#include <thread>

#include "common/params.h"
#include "common/util.h"
#include "common/tests/params_test_util.h"

namespace {

// Writer w stores values made only of the letter 'A' + w, each exactly value_length(w) long, so
// any mix of two writes or any prefix of one shows up as a wrong letter or a wrong length.
size_t value_length(int writer) { return 48000 + 1111 * writer; }
std::string writer_value(int writer) { return std::string(value_length(writer), char('A' + writer)); }

// "" if `v` is one writer's complete value, else what is wrong with it.
std::string check_complete(const std::string &v, int writers) {
  if (v.empty()) return "empty";
  int w = v[0] - 'A';
  if (w < 0 || w >= writers) return "unknown first byte";
  if (v.size() != value_length(w)) return "length " + std::to_string(v.size()) + " from writer " + std::to_string(w);
  if (v.find_first_not_of(v[0]) != std::string::npos) return "mixed bytes from writer " + std::to_string(w);
  return "";
}

const char *const KEYS[] = {"CarParams", "DashcamDebug", "LiveParameters"};

}  // namespace

TEST(ParamsAtomic, ConcurrentWritersNeverShowPartialValues) {
  ParamsTestRoot tmp;
  ScopedEnv no_prefix("TAVRIN_PREFIX", std::nullopt);
  const int WRITERS = 3, READERS = 2, PUTS_PER_WRITER = 60;
  {
    Params params(tmp.root());
    for (const char *key : KEYS) ASSERT_EQ(params.put(key, writer_value(0)), 0);
  }
  const std::string stop_file = tmp.base() + "/stop";

  std::vector<pid_t> writers, readers;
  for (int r = 0; r < READERS; r++) {
    readers.push_back(fork_child([&] {
      Params params(tmp.root());
      // Exit codes: 0 every read complete, 1 a partial value seen, 2 too few reads to mean much.
      int reads = 0;
      while (!util::file_exists(stop_file)) {
        for (const char *key : KEYS) {
          std::string problem = check_complete(params.get(key), WRITERS);
          if (!problem.empty()) {
            fprintf(stderr, "reader saw %s in %s\n", problem.c_str(), key);
            return 1;
          }
          reads++;
        }
      }
      return reads >= 100 ? 0 : 2;
    }));
  }
  for (int w = 0; w < WRITERS; w++) {
    writers.push_back(fork_child([&, w] {
      Params params(tmp.root());
      const std::string value = writer_value(w);
      for (int i = 0; i < PUTS_PER_WRITER; i++) {
        if (params.put(KEYS[i % 3], value) != 0) return 1;
      }
      return 0;
    }));
  }
  for (pid_t pid : writers) EXPECT_EQ(wait_child(pid, CHILD_TIMEOUT), 0) << "writer failed";
  std::FILE *f = std::fopen(stop_file.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  for (pid_t pid : readers)
    EXPECT_EQ(wait_child(pid, CHILD_TIMEOUT), 0) << "reader saw a partial value (1) or too few reads (2)";

  Params params(tmp.root());
  for (const char *key : KEYS) EXPECT_EQ(check_complete(params.get(key), WRITERS), "") << key;
}

// A writer killed at random points of its write leaves the key with a complete old or new
// value, and does not leave the lock held.
TEST(ParamsAtomic, KilledWriterLeavesCompleteValue) {
  ParamsTestRoot tmp;
  ScopedEnv no_prefix("TAVRIN_PREFIX", std::nullopt);
  const int WRITERS = 2, ROUNDS = 80;
  Params params(tmp.root());
  ASSERT_EQ(params.put("DashcamDebug", writer_value(0)), 0);

  std::mt19937 rng(std::random_device{}());
  std::uniform_int_distribution<int> kill_after_us(0, 4000);
  for (int round = 0; round < ROUNDS; round++) {
    int w = round % WRITERS;
    pid_t pid = fork_child([&] {
      Params child(tmp.root());
      const std::string value = writer_value(w);
      while (true) child.put("DashcamDebug", value);
      return 0;
    });
    ASSERT_GT(pid, 0);
    // A random moment, not a synchronisation: the point is to land anywhere in a write.
    std::this_thread::sleep_for(std::chrono::microseconds(kill_after_us(rng)));
    kill(pid, SIGKILL);
    const std::optional<int> status = wait_child_status(pid, CHILD_TIMEOUT);
    ASSERT_TRUE(status && WIFSIGNALED(*status));
    ASSERT_EQ(check_complete(params.get("DashcamDebug"), WRITERS), "") << "round " << round;
  }

  // The kernel dropped every dead writer's lock: a new write goes through.
  auto write = std::async(std::launch::async, [&] { return params.put("DashcamDebug", writer_value(1)); });
  ASSERT_EQ(write.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "lock still held";
  EXPECT_EQ(write.get(), 0);
  EXPECT_EQ(params.get("DashcamDebug"), writer_value(1));
}

// Processes that open a fresh root at the same moment race to publish its data directory link.
// Whoever loses must join the winner's directory: a value written into a directory whose link
// was replaced is lost to every other process. The store lives in memory so the processes
// start close together; each round is a new root.
TEST(ParamsAtomic, FirstStartsOnAFreshRootShareOneDataDirectory) {
  ParamsTestRoot tmp("/dev/shm");
  ScopedEnv no_prefix("TAVRIN_PREFIX", std::nullopt);
  const int PROCESSES = 6, ROUNDS = 100;
  for (int round = 0; round < ROUNDS; round++) {
    const std::string root = tmp.base() + "/round" + std::to_string(round);
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    std::vector<pid_t> children;
    for (int p = 0; p < PROCESSES; p++) {
      children.push_back(fork_child([&, p] {
        close(go[1]);
        char c;
        if (read(go[0], &c, 1) != 0) return 10;  // released together when the parent closes the pipe
        Params params(root);
        return params.put("DashcamDebug" + std::to_string(p), "written") == 0 ? 0 : 1;
      }));
    }
    close(go[0]);
    close(go[1]);
    for (pid_t pid : children) ASSERT_EQ(wait_child(pid, CHILD_TIMEOUT), 0) << "round " << round;

    Params params(root);
    for (int p = 0; p < PROCESSES; p++) {
      ASSERT_EQ(params.get("DashcamDebug" + std::to_string(p)), "written")
          << "round " << round << ": the value of process " << p << " went into a directory nobody reads";
    }
    // The losers' directories are gone again: one data directory per root.
    int data_dirs = 0;
    for (const auto &e : std::filesystem::directory_iterator(root)) data_dirs += e.is_directory() && !e.is_symlink();
    EXPECT_EQ(data_dirs, 1) << "round " << round;
  }
}
