// The start-up scan for segments a dead recorder left open, over a real tree and a recovery
// that behaves like the writer's: it finishes a segment, removes one without frames, or fails.

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "selfdrive/orsolo/segment_recovery.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;
using Logs = std::vector<std::string>;

TEST(SegmentRecovery, FinishesEveryLockedSegmentOfOurTripsAndSaysSoOncePerSegment) {
  LogCapture::instance().take();
  TestDir dir;
  const std::string v = dir.path();
  auto touch = [&](const std::string &rel) {
    fs::create_directories(fs::path(v + "/" + rel).parent_path());
    std::ofstream(v + "/" + rel) << "x";
  };
  // What the fake recovery does with each segment left open.
  enum Outcome { FINISHED, NO_FRAMES, FAILS };
  const std::map<std::string, Outcome> outcome = {
      {"20240101-080000/20240101-080300", FINISHED}, {"20240101-080000/20240101-080000_2", FINISHED},
      {"20240102-080000/20240102-080000", NO_FRAMES}, {"20240103-080000/20240103-080000", FAILS}};
  for (auto &[segment, _] : outcome) {
    touch(segment + ".mp4");
    touch(segment + ".mp4.lock");
    touch(segment + ".srt");
  }
  touch("20240101-080000/20240101-080000.mp4");  // closed: no lock
  touch("20240101-080000/20240101-080000.srt");
  touch("holiday/20240104-080000.mp4.lock");     // not a trip of ours
  touch("20240105-080000/other.mp4.lock");       // not a segment of ours
  fs::create_directories(v + "/20240106-080000");  // a trip that died before its first segment

  std::vector<std::string> asked;
  const int recovered = recover_open_segments(v, [&](const std::string &path, std::string *error) {
    asked.push_back(fs::relative(path, v).string());
    const std::string rel = fs::relative(path, v).string();
    switch (outcome.at(rel.substr(0, rel.size() - 4))) {
      case FINISHED:
        fs::remove(path + ".lock");
        return true;
      case NO_FRAMES:
        fs::remove(path);
        fs::remove(path + ".lock");
        return true;
      case FAILS:
        *error = "in use";
        return false;
    }
    return false;
  });

  EXPECT_EQ(recovered, 3);
  // In name order.
  EXPECT_EQ(asked, (std::vector<std::string>{"20240101-080000/20240101-080000_2.mp4", "20240101-080000/20240101-080300.mp4",
                                             "20240102-080000/20240102-080000.mp4", "20240103-080000/20240103-080000.mp4"}));
  EXPECT_EQ(LogCapture::instance().take(),
            (Logs{"roadrecd: recovered segment 20240101-080000/20240101-080000_2",
                  "roadrecd: recovered segment 20240101-080000/20240101-080300",
                  "roadrecd: removed segment 20240102-080000/20240102-080000: no frame had reached the disk",
                  "roadrecd: cannot recover segment 20240103-080000/20240103-080000: in use"}));
  // The segment without frames took its subtitles and its emptied trip with it; the rest stays.
  EXPECT_FALSE(fs::exists(v + "/20240102-080000"));
  EXPECT_FALSE(fs::exists(v + "/20240106-080000"));
  EXPECT_TRUE(fs::exists(v + "/20240101-080000/20240101-080300.srt"));
  EXPECT_TRUE(fs::exists(v + "/20240103-080000/20240103-080000.mp4.lock"));
  EXPECT_TRUE(fs::exists(v + "/holiday/20240104-080000.mp4.lock"));
  EXPECT_TRUE(fs::exists(v + "/20240105-080000/other.mp4.lock"));
}
