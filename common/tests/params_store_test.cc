// Single-process behaviour of the store: values, layout on disk, removal and clearing.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "common/params.h"
#include "common/util.h"
#include "common/tests/params_test_util.h"

namespace fs = std::filesystem;

namespace {

class ParamsStore : public ::testing::Test {
 protected:
  ParamsTestRoot tmp;
  ScopedEnv no_prefix{"TAVRIN_PREFIX", std::nullopt};
  Params params{tmp.root()};

  std::string data_dir() { return tmp.root() + "/d"; }
  std::string key_file(const std::string &key) { return data_dir() + "/" + key; }
};

std::vector<std::string> temp_value_files(const std::string &root) {
  std::vector<std::string> found;
  for (const auto &e : fs::directory_iterator(root)) {
    if (e.path().filename().string().rfind(".tmp_value_", 0) == 0) found.push_back(e.path());
  }
  return found;
}

}  // namespace

TEST_F(ParamsStore, PutThenGetReturnsExactBytes) {
  const std::string values[] = {
      "1",
      "hello world",
      std::string("a\0b\0\0c", 6),  // zero bytes inside
      std::string(1, '\0'),
      std::string(100000, 'x') + "end",
      "trailing newline\n",
  };
  for (const auto &v : values) {
    ASSERT_EQ(params.put("DashcamDebug", v), 0);
    EXPECT_EQ(params.get("DashcamDebug"), v);
    EXPECT_EQ(fs::file_size(key_file("DashcamDebug")), v.size());
  }
  EXPECT_TRUE(temp_value_files(tmp.root()).empty());
}

TEST_F(ParamsStore, ZeroLengthValueLooksLikeMissingKey) {
  ASSERT_EQ(params.put("DashcamDebug", ""), 0);
  EXPECT_TRUE(fs::is_regular_file(key_file("DashcamDebug")));
  EXPECT_EQ(fs::file_size(key_file("DashcamDebug")), 0u);
  EXPECT_EQ(params.get("DashcamDebug"), "");
  EXPECT_EQ(params.get("NeverWritten"), "");
}

TEST_F(ParamsStore, BoolsAreOneAndZero) {
  ASSERT_EQ(params.putBool("DashcamShutdown", true), 0);
  EXPECT_EQ(params.get("DashcamShutdown"), "1");
  EXPECT_TRUE(params.getBool("DashcamShutdown"));
  ASSERT_EQ(params.putBool("DashcamShutdown", false), 0);
  EXPECT_EQ(params.get("DashcamShutdown"), "0");
  EXPECT_FALSE(params.getBool("DashcamShutdown"));
  for (const char *other : {"", "true", "1\n", "11", " 1", "yes"}) {
    ASSERT_EQ(params.put("DashcamShutdown", other), 0);
    EXPECT_FALSE(params.getBool("DashcamShutdown")) << "'" << other << "'";
  }
  EXPECT_FALSE(params.getBool("NeverWritten"));
}

TEST_F(ParamsStore, NumbersAreDecimalText) {
  ASSERT_EQ(params.putInt("BootCount", -42), 0);
  EXPECT_EQ(params.get("BootCount"), "-42");
  EXPECT_EQ(params.getInt("BootCount"), -42);
  ASSERT_EQ(params.putFloat("SteerRatio", 15.3f), 0);
  EXPECT_EQ(params.getFloat("SteerRatio"), 15.3f);  // round-trips exactly
  ASSERT_EQ(params.putFloat("SteerRatio", 1e-7f), 0);
  EXPECT_EQ(params.getFloat("SteerRatio"), 1e-7f);
  // Garbage or a missing value reads as 0 rather than throwing.
  ASSERT_EQ(params.put("BootCount", "not a number"), 0);
  EXPECT_EQ(params.getInt("BootCount"), 0);
  EXPECT_EQ(params.getFloat("NeverWritten"), 0.0f);
}

TEST_F(ParamsStore, ParamPaths) {
  EXPECT_EQ(params.getParamPath(), tmp.root() + "/d");
  EXPECT_EQ(params.getParamPath("DashcamShutdown"), tmp.root() + "/d/DashcamShutdown");
}

TEST_F(ParamsStore, RemoveDeletesAndReportsMissing) {
  ASSERT_EQ(params.put("DashcamDebug", "x"), 0);
  EXPECT_EQ(params.remove("DashcamDebug"), 0);
  EXPECT_FALSE(fs::exists(key_file("DashcamDebug")));
  EXPECT_EQ(params.get("DashcamDebug"), "");
  errno = 0;
  EXPECT_EQ(params.remove("DashcamDebug"), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(ParamsStore, ReadAllReturnsFilesNotDirectories) {
  ASSERT_EQ(params.put("DashcamDebug", "a"), 0);
  ASSERT_EQ(params.put("NotInTable", std::string("b\0c", 3)), 0);
  fs::create_directory(key_file("subdir"));
  std::map<std::string, std::string> expected = {{"DashcamDebug", "a"}, {"NotInTable", std::string("b\0c", 3)}};
  EXPECT_EQ(params.readAll(), expected);
}

TEST_F(ParamsStore, ClearAllByMask) {
  // key -> flags: DashcamShutdown 4, DashcamDebug 2, CarParams 12, TrafficModeActive 16.
  auto fill = [&] {
    for (const char *k : {"DashcamShutdown", "DashcamDebug", "CarParams", "TrafficModeActive", "stray_file"}) {
      ASSERT_EQ(params.put(k, "v"), 0);
    }
    fs::create_directories(key_file("subdir/inner"));
  };
  auto present = [&] {
    std::set<std::string> names;
    for (const auto &e : fs::directory_iterator(data_dir())) names.insert(e.path().filename());
    return names;
  };
  const std::pair<ParamKeyType, std::set<std::string>> cases[] = {
      {CLEAR_ON_MANAGER_START, {"DashcamDebug", "TrafficModeActive", "subdir"}},
      {CLEAR_ON_ONROAD_TRANSITION, {"DashcamShutdown", "DashcamDebug", "TrafficModeActive", "subdir"}},
      {CLEAR_ON_OFFROAD_TRANSITION, {"DashcamShutdown", "DashcamDebug", "CarParams", "subdir"}},
      {PERSISTENT, {"DashcamShutdown", "CarParams", "TrafficModeActive", "subdir"}},
      {ALL, {"subdir"}},
      {static_cast<ParamKeyType>(0), {"DashcamShutdown", "DashcamDebug", "CarParams", "TrafficModeActive", "subdir"}},
  };
  for (const auto &[mask, survivors] : cases) {
    fill();
    params.clearAll(mask);
    EXPECT_EQ(present(), survivors) << "mask " << mask;
    EXPECT_TRUE(fs::is_directory(key_file("subdir/inner")));
  }
}

TEST(ParamsLayout, FreshRootGetsDataDirectoryLink) {
  ParamsTestRoot tmp;
  ScopedEnv no_prefix("TAVRIN_PREFIX", std::nullopt);
  std::string root = tmp.root() + "/nested/deeper";
  Params params(root);

  std::string link = root + "/d";
  ASSERT_TRUE(fs::is_symlink(link));
  std::string target = util::readlink(link);
  EXPECT_EQ(util::dir_name(target), root);
  EXPECT_EQ(fs::path(target).filename().string().rfind(".tmp_", 0), 0u) << target;
  EXPECT_TRUE(fs::is_directory(target));
  EXPECT_EQ(fs::status(target).permissions() & (fs::perms::group_all | fs::perms::others_all), fs::perms::none);
  EXPECT_FALSE(fs::exists(target + ".link"));

  // A second store on the same root reuses the link.
  Params again(root);
  EXPECT_EQ(util::readlink(link), target);
  ASSERT_EQ(again.put("DashcamDebug", "shared"), 0);
  EXPECT_EQ(params.get("DashcamDebug"), "shared");
}

TEST(ParamsLayout, RootFromEnvironment) {
  ParamsTestRoot tmp;
  ScopedEnv no_prefix("TAVRIN_PREFIX", std::nullopt);
  ScopedEnv root_env("PARAMS_ROOT", tmp.root());
  Params params("");
  EXPECT_EQ(params.getParamPath(), tmp.root() + "/d");
  ASSERT_EQ(params.put("DashcamDebug", "x"), 0);
  EXPECT_EQ(util::read_file(tmp.root() + "/d/DashcamDebug"), "x");
}

TEST(ParamsLayout, DanglingLinkIsReplaced) {
  ParamsTestRoot tmp;
  ScopedEnv no_prefix("TAVRIN_PREFIX", std::nullopt);
  std::string old_target;
  {
    Params params(tmp.root());
    ASSERT_EQ(params.put("DashcamDebug", "old"), 0);
    old_target = util::readlink(tmp.root() + "/d");
  }
  fs::remove_all(old_target);
  ASSERT_TRUE(fs::is_symlink(tmp.root() + "/d"));

  Params params(tmp.root());
  std::string new_target = util::readlink(tmp.root() + "/d");
  EXPECT_NE(new_target, old_target);
  EXPECT_TRUE(fs::is_directory(new_target));
  EXPECT_EQ(params.get("DashcamDebug"), "");
  ASSERT_EQ(params.put("DashcamDebug", "new"), 0);
  EXPECT_EQ(util::read_file(new_target + "/DashcamDebug"), "new");
}

TEST(ParamsLayout, PrefixesAreSeparateStoresSharingOneLock) {
  ParamsTestRoot tmp;
  std::string a = unique_name("a"), b = unique_name("b");
  std::unique_ptr<Params> pa, pb;
  {
    ScopedEnv env("TAVRIN_PREFIX", a);
    pa = std::make_unique<Params>(tmp.root());
  }
  {
    ScopedEnv env("TAVRIN_PREFIX", b);
    pb = std::make_unique<Params>(tmp.root());
  }
  EXPECT_EQ(pa->getParamPath(), tmp.root() + "/" + a);
  EXPECT_TRUE(fs::is_symlink(tmp.root() + "/" + a));
  EXPECT_TRUE(fs::is_symlink(tmp.root() + "/" + b));
  EXPECT_FALSE(fs::exists(tmp.root() + "/d"));

  ASSERT_EQ(pa->put("DashcamDebug", "from a"), 0);
  ASSERT_EQ(pb->put("DashcamDebug", "from b"), 0);
  EXPECT_EQ(pa->get("DashcamDebug"), "from a");
  EXPECT_EQ(pb->get("DashcamDebug"), "from b");
  pb->clearAll(ALL);
  EXPECT_EQ(pa->get("DashcamDebug"), "from a");

  // One lock file in the root, no other plain files left behind.
  std::vector<std::string> plain;
  for (const auto &e : fs::directory_iterator(tmp.root())) {
    if (e.is_regular_file()) plain.push_back(e.path().filename());
  }
  EXPECT_EQ(plain, std::vector<std::string>{".lock"});
}

TEST(ParamsLayout, UncreatableRootThrows) {
  ParamsTestRoot tmp;
  std::string file = tmp.base() + "/plain_file";
  std::ofstream(file) << "x";
  try {
    Params params(file + "/params");
    FAIL() << "constructed on a root below a regular file";
  } catch (const std::runtime_error &e) {
    EXPECT_NE(std::string(e.what()).find("Failed to ensure params path, errno="), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("path=" + file + "/params"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("param_prefix=/"), std::string::npos) << e.what();
  }
}
