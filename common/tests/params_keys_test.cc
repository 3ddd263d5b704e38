#include <gtest/gtest.h>

#include "common/params.h"
#include "common/params_keys.h"
#include "common/tests/params_test_util.h"

// A name listed twice in the table's source would silently collapse into one entry: the count
// tells. (allKeys iterates a map, so it cannot return a name twice.)
TEST(ParamsKeys, TableHoldsEveryKeyOnce) {
  ParamsTestRoot tmp;
  Params params(tmp.root());
  std::vector<std::string> keys = params.allKeys();
  EXPECT_EQ(keys.size(), 396u);
  for (const auto &k : keys) EXPECT_TRUE(params.checkKey(k)) << k;
}

TEST(ParamsKeys, LookupIsExact) {
  ParamsTestRoot tmp;
  Params params(tmp.root());
  EXPECT_TRUE(params.checkKey("DashcamShutdown"));
  for (const char *not_a_key : {"dashcamshutdown", "DASHCAMSHUTDOWN", "DashcamShutdown ", "", "NoSuchKey"}) {
    EXPECT_FALSE(params.checkKey(not_a_key)) << not_a_key;
    EXPECT_EQ(params.getKeyType(not_a_key), 0u) << not_a_key;
  }
}

TEST(ParamsKeys, FlagsOfNotableKeys) {
  ParamsTestRoot tmp;
  Params params(tmp.root());
  const std::pair<const char *, uint32_t> expected[] = {
      {"DashcamShutdown", 4},  {"AccessToken", 36},       {"ExperimentalLongitudinalEnabled", 66},
      {"LiveTorqueParameters", 34}, {"TrafficModeActive", 16}, {"DmModelInitialized", 8},
      {"DashcamDebug", 2},     {"CarParams", 12},         {"NavDestination", 20},
      {"no_lat_lane_change", 2}, {"OSMDownloadProgress", 4},
  };
  for (const auto &[key, flags] : expected) EXPECT_EQ(params.getKeyType(key), flags) << key;
}

// The counts per bit are an independent check on the transcription of the whole table.
TEST(ParamsKeys, KeysPerFlagBit) {
  const std::pair<uint32_t, size_t> expected[] = {
      {PERSISTENT, 326}, {CLEAR_ON_MANAGER_START, 68}, {CLEAR_ON_ONROAD_TRANSITION, 14},
      {CLEAR_ON_OFFROAD_TRANSITION, 8}, {DONT_LOG, 2}, {DEVELOPMENT_ONLY, 1},
  };
  for (const auto &[bit, count] : expected) {
    size_t n = 0;
    for (const auto &[name, flags] : param_keys()) n += (flags & bit) != 0;
    EXPECT_EQ(n, count) << "bit " << bit;
  }
  for (const auto &[name, flags] : param_keys()) {
    EXPECT_EQ(flags & 1u, 0u) << name;  // 1 is not a flag
    EXPECT_NE(flags, 0u) << name;
  }
}
