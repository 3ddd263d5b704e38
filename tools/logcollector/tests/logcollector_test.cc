#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "common/util.h"
#include "tests/support/child_process.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_prefix.h"
#include "tests/support/wait.h"

namespace {

using namespace std::chrono_literals;

TEST(LogCollector, PrintsEachRecordAsLevelThenJsonUntilSigterm) {
  TestPrefix prefix("_collector_test");  // the collector's endpoint goes with it
  TestDir dir("collector_test");

  ChildProcess collector({LOGCOLLECTOR}, {}, dir.path(), dir / "out", dir / "err");
  ASSERT_TRUE(collector.started());
  ASSERT_TRUE(
      wait_until([&] { return util::read_file(dir / "err").find("listening") != std::string::npos; }, 5s))
      << util::read_file(dir / "err");

  const RunResult emitter = run_program({SWAGLOG_EMIT, "L:40:first record", "L:20:second record"});
  ASSERT_TRUE(emitter.exited);
  ASSERT_TRUE(wait_until([&] { return collector.output().find("second record") != std::string::npos; }, 5s))
      << collector.output();

  const int status = collector.stop(SIGTERM, 10000);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);

  // Two lines: "<level> <json>".
  const std::string out_text = collector.output();
  auto nl = out_text.find('\n');
  ASSERT_NE(nl, std::string::npos);
  std::string first = out_text.substr(0, nl);
  ASSERT_EQ(first.substr(0, 3), "40 ");
  auto j = nlohmann::json::parse(first.substr(3));
  EXPECT_EQ(j["msg"], "first record");
  EXPECT_EQ(j["levelnum"], 40);
  EXPECT_EQ(out_text.substr(nl + 1, 3), "20 ");
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
    std::vector<std::string> argv = {LOGCOLLECTOR};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    RunOptions options;
    options.timeout = 5s;  // a collector that took the arguments for an endpoint is collecting, and is killed
    const RunResult r = run_program(argv, options);
    const std::string text = r.out + r.err;
    EXPECT_TRUE(r.exited && r.status == c.status) << "status " << r.status << ": " << text;
    EXPECT_NE(text.find(c.text), std::string::npos) << text;
  }
}

}  // namespace
