// The simulator's command line: help, and nonsense refused with a message naming the option or
// the scenario line (status 2) before anything is served.

#include <chrono>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_prefix.h"

namespace {

class SimulatorCli : public ::testing::Test {
 protected:
  // Runs the simulator with shell words `args`, standard error joining standard output; a run
  // that the simulator accepted ends at once (--duration 0), and every run is bounded.
  RunResult simulator(const std::string &args) {
    RunOptions options;
    options.timeout = std::chrono::seconds(30);
    return run_command(SIMULATOR " " + args + " --duration 0 2>&1", options);
  }

  std::string scenario(const std::string &text) {
    const std::string path = dir_ / "test.scn";
    std::ofstream(path) << text;
    return path;
  }

  TestDir dir_{"simulator_cli"};
  // Should an argument be accepted after all, whatever gets served stays apart from other tests.
  TestPrefix prefix_{"simulator_cli"};
};

TEST_F(SimulatorCli, HelpSaysWhatItDoesAndWhatItTakes) {
  for (const char *flag : {"--help", "-h"}) {
    const RunResult run = simulator(flag);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("Stands in for the device's camera daemon"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("--scenario FILE"), std::string::npos) << run.out;
  }
}

TEST_F(SimulatorCli, NonsenseIsRefusedByName) {
  const std::pair<std::string, std::string> cases[] = {
      {"--scenario " + dir_.path(), "simulator: " + dir_.path() + ": is a directory, not a scenario file"},
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
    EXPECT_NE(run.out.find(message), std::string::npos) << run.out;
  }
}

}  // namespace
