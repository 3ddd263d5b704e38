#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "selfdrive/orsolo/recorder_config.h"
#include "selfdrive/orsolo/recorder_settings.h"

TEST(RecorderSettings, EnvironmentOrDefaults) {
  struct Case {
    const char *dir;      // null: unset
    const char *percent;  // null: unset
    std::string want_dir;
    double want_percent;
    bool problem;
  };
  const Case cases[] = {
      {nullptr, nullptr, VIDEOS_BASE, 10, false},
      {"/mnt/card/videos/", "25", "/mnt/card/videos", 25, false},
      {"", "0", VIDEOS_BASE, 0, false},
      {"/v", "2.5", "/v", 2.5, false},
      {"/v", "100", "/v", 10, true},
      {"/v", "-1", "/v", 10, true},
      {"/v", "10%", "/v", 10, true},
      {"/v", "", "/v", 10, true},
  };
  for (const Case &c : cases) {
    c.dir ? setenv("ROADRECD_VIDEOS_DIR", c.dir, 1) : unsetenv("ROADRECD_VIDEOS_DIR");
    c.percent ? setenv("ROADRECD_MIN_FREE_PERCENT", c.percent, 1) : unsetenv("ROADRECD_MIN_FREE_PERCENT");
    std::vector<std::string> problems;
    const RecorderSettings s = read_recorder_settings(&problems);
    const std::string label = std::string(c.dir ? c.dir : "(unset)") + " " + (c.percent ? c.percent : "(unset)");
    EXPECT_EQ(s.videos_dir, c.want_dir) << label;
    EXPECT_DOUBLE_EQ(s.min_free_percent, c.want_percent) << label;
    EXPECT_EQ(problems.size(), c.problem ? 1u : 0u) << label;
  }
  unsetenv("ROADRECD_VIDEOS_DIR");
  unsetenv("ROADRECD_MIN_FREE_PERCENT");
}
