// The simulator's command line: help, and nonsense refused with a message naming the option or
// the scenario line (status 2) before anything is served.

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

struct RunResult {
  int status = -1;
  std::string output;  // standard output and error together
};

class SimulatorCli : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/simulator_cli_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    // Should an argument be accepted after all, whatever gets served stays apart from other tests.
    prefix_ = "simulator_cli_" + std::to_string(getpid());
    fs::create_directories("/dev/shm/" + prefix_);
    setenv("TAVRIN_PREFIX", prefix_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("TAVRIN_PREFIX");
    std::error_code ec;
    fs::remove_all("/dev/shm/" + prefix_, ec);
    fs::remove_all(dir_, ec);
  }

  // Runs the simulator with shell words `args`; a run that the simulator accepted ends at once
  // (--duration 0), and every run is bounded.
  RunResult simulator(const std::string &args) {
    const std::string command = "timeout 30 " SIMULATOR " " + args + " --duration 0 2>&1";
    RunResult run;
    FILE *p = popen(command.c_str(), "r");
    if (p == nullptr) return run;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) run.output.append(buf, n);
    const int status = pclose(p);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
  }

  std::string scenario(const std::string &text) {
    const std::string path = dir_ + "/test.scn";
    std::ofstream(path) << text;
    return path;
  }

  std::string dir_;
  std::string prefix_;
};

TEST_F(SimulatorCli, HelpSaysWhatItDoesAndWhatItTakes) {
  for (const char *flag : {"--help", "-h"}) {
    const RunResult run = simulator(flag);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("Stands in for the device's camera daemon"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("--scenario FILE"), std::string::npos) << run.output;
  }
}

TEST_F(SimulatorCli, NonsenseIsRefusedByName) {
  const std::pair<std::string, std::string> cases[] = {
      {"--scenario " + dir_, "simulator: " + dir_ + ": is a directory, not a scenario file"},
      {"--scenario " + scenario("0 ignition on\n5 gps 1 2 1e300\n"),
       "line 2: gps speed '1e300' is not between 0 and 1000 m/s"},
      {"--fps 1e300", "simulator: --fps must be a number above 0 and at most 1000, not '1e300'"},
      {"--width 1e9", "simulator: --width must be a whole number from 2 to 8192, not '1e9'"},
      {"--frames abc", "simulator: --frames must be a whole number 0 or more, not 'abc'"},
      {"--start-delay nan", "simulator: --start-delay must be a number from 0 to 1000000000, not 'nan'"},
      {"--bogus", "simulator: unknown option --bogus"},
  };
  for (const auto &[args, message] : cases) {
    SCOPED_TRACE(args);
    const RunResult run = simulator(args);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.output.find(message), std::string::npos) << run.output;
  }
}

}  // namespace
