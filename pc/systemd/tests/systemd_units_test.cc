// The systemd units as `cmake --install` writes them, checked by systemd's own tools: every
// program they start (the trip viewer too) is installed where they say, no key is unknown, the
// target wants only installed units, and the user they run as is created by systemd-sysusers.

#include <sys/wait.h>

#include <regex>

#include <gtest/gtest.h>

#include "pc/tests/pc_test_support.h"

using namespace pc_test;

namespace {

// Output (both streams) and exit status of a shell command; -1 when it did not exit in time.
std::pair<std::string, int> run(const std::string &cmd) {
  RunOptions options;
  options.timeout = std::chrono::seconds(120);
  const RunResult r = run_command(cmd + " 2>&1", options);
  return {r.out, r.exited ? r.status : -1};
}

TEST(SystemdUnitsTest, InstalledUnitsVerifyAndNameInstalledPrograms) {
  PcWorld world(RUNS_DIR);
  const std::string prefix = world.path("prefix");
  const auto install = run(std::string("cmake --install '") + BUILD_DIR + "' --prefix '" + prefix + "'");
  ASSERT_EQ(install.second, 0) << install.first;

  const std::string units = prefix + "/lib/systemd/system";
  const auto verify =
      run(std::string(SYSTEMD_ANALYZE) + " verify " + units + "/*.service " + units + "/*.target");
  EXPECT_EQ(verify.second, 0) << verify.first;
  EXPECT_EQ(verify.first.find("roadrec"), std::string::npos) << verify.first;

  // Every unit the target wants is installed, and every service is wanted by the target.
  const std::string target = util::read_file(units + "/roadrec-dashcam.target");
  std::smatch wants;
  ASSERT_TRUE(std::regex_search(target, wants, std::regex("\nWants=([^\n]*)")));
  std::istringstream wanted(wants[1].str());
  int services = 0;
  for (std::string unit; wanted >> unit; services++) EXPECT_TRUE(fs::exists(units + "/" + unit)) << unit;
  int installed = 0;
  for (auto &e : fs::directory_iterator(units)) installed += e.path().extension() == ".service";
  EXPECT_EQ(services, installed);
  // Each service starts a program of this prefix, as the dashcam's user, with the settings of
  // the one settings file.
  for (auto &e : fs::directory_iterator(units)) {
    if (e.path().extension() != ".service") continue;
    const std::string unit = util::read_file(e.path());
    EXPECT_NE(unit.find("\nExecStart=" + prefix + "/bin/"), std::string::npos) << e.path();
    EXPECT_NE(unit.find("\nUser=roadrec\n"), std::string::npos) << e.path();
    EXPECT_NE(unit.find("\nEnvironmentFile=-/etc/roadrec/dashcam.conf\n"), std::string::npos) << e.path();
  }
  // The trip viewer runs beside the recorder, on the recorder's videos directory.
  const std::string viewer = util::read_file(units + "/roadrec-tripviewer.service");
  EXPECT_NE(viewer.find("\nExecStart=" + prefix + "/bin/tripviewer "), std::string::npos) << viewer;
  EXPECT_TRUE(fs::exists(prefix + "/bin/tripviewer"));
  const std::string videos_dir = "\nEnvironment=ROADRECD_VIDEOS_DIR=/var/lib/roadrec/videos\n";
  EXPECT_NE(viewer.find(videos_dir), std::string::npos) << viewer;
  EXPECT_NE(util::read_file(units + "/roadrecd.service").find(videos_dir), std::string::npos);

  const auto users =
      run(std::string(SYSTEMD_SYSUSERS) + " --dry-run " + prefix + "/lib/sysusers.d/roadrec.conf");
  EXPECT_EQ(users.second, 0) << users.first;
  if (HasFailure()) world.keep();
}

}  // namespace
