#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "common/util.h"

extern char **environ;

namespace {

// Reads from fd until `needle` has arrived (true) or timeout_ms passes without it (false).
bool read_until(int fd, std::string &acc, const std::string &needle, int timeout_ms = 5000) {
  while (acc.find(needle) == std::string::npos) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return false;
    char buf[1024];
    ssize_t n = read(fd, buf, sizeof(buf));
    if (n <= 0) return false;
    acc.append(buf, n);
  }
  return true;
}

pid_t spawn(const char *path, std::vector<std::string> args, int out_fd, int err_fd) {
  std::vector<char *> argv{(char *)path};
  for (auto &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (out_fd >= 0) posix_spawn_file_actions_adddup2(&fa, out_fd, STDOUT_FILENO);
  if (err_fd >= 0) posix_spawn_file_actions_adddup2(&fa, err_fd, STDERR_FILENO);
  pid_t pid = -1;
  posix_spawn(&pid, path, &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  return pid;
}

TEST(LogCollector, PrintsEachRecordAsLevelThenJsonUntilSigterm) {
  const std::string prefix = "_collector_test_" + std::to_string(getpid()) + "_" + util::random_string(6);
  setenv("TAVRIN_PREFIX", prefix.c_str(), 1);

  int out[2], err[2];
  ASSERT_EQ(pipe(out), 0);
  ASSERT_EQ(pipe(err), 0);
  pid_t collector = spawn(LOGCOLLECTOR, {}, out[1], err[1]);
  ASSERT_GT(collector, 0);
  close(out[1]);
  close(err[1]);

  std::string err_text, out_text;
  ASSERT_TRUE(read_until(err[0], err_text, "listening")) << err_text;

  pid_t emitter = spawn(SWAGLOG_EMIT, {"L:40:first record", "L:20:second record"}, -1, -1);
  ASSERT_GT(emitter, 0);
  waitpid(emitter, nullptr, 0);
  ASSERT_TRUE(read_until(out[0], out_text, "second record")) << out_text;

  kill(collector, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(collector, &status, 0), collector);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);

  // Two lines: "<level> <json>".
  auto nl = out_text.find('\n');
  ASSERT_NE(nl, std::string::npos);
  std::string first = out_text.substr(0, nl);
  ASSERT_EQ(first.substr(0, 3), "40 ");
  auto j = nlohmann::json::parse(first.substr(3));
  EXPECT_EQ(j["msg"], "first record");
  EXPECT_EQ(j["levelnum"], 40);
  EXPECT_EQ(out_text.substr(nl + 1, 3), "20 ");
  close(out[0]);
  close(err[0]);
}

// Help says what the collector does and what it takes; anything else that is not an endpoint
// is refused (status 2) instead of being bound as one.
TEST(LogCollector, HelpAndArgumentsThatAreNotAnEndpoint) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string text;  // expected in its output (both streams)
  };
  const Case cases[] = {
      {{"--help"}, 0, "Collects the log records"},
      {{"-h"}, 0, "ENDPOINT"},
      {{"--bogus"}, 2, "logcollector: unknown option --bogus"},
      {{"ipc:///tmp/a", "ipc:///tmp/b"}, 2, "logcollector: one endpoint at most"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args.front());
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = spawn(LOGCOLLECTOR, c.args, out[1], out[1]);
    ASSERT_GT(pid, 0);
    close(out[1]);
    std::string text;
    read_until(out[0], text, "\x01never\x01", 5000);  // everything, until the collector closes its end
    close(out[0]);
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == 0) {
      kill(pid, SIGTERM);  // it took the arguments for an endpoint and is collecting
      done = waitpid(pid, &status, 0);
    }
    ASSERT_EQ(done, pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.status) << "status " << status << ": " << text;
    EXPECT_NE(text.find(c.text), std::string::npos) << text;
  }
}

}  // namespace
