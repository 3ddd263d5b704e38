// Loop recording on a real directory tree, with a file system whose free space is its capacity
// minus the bytes of the files in the tree.

#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "selfdrive/orsolo/footage_cleaner.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;
using Logs = std::vector<std::string>;

namespace {

constexpr uint64_t FILE_BYTES = 100;

class FootageCleanerTest : public ::testing::Test {
 protected:
  void SetUp() override { LogCapture::instance().take(); }

  void file(const std::string &rel) {
    fs::create_directories(fs::path(videos_ + "/" + rel).parent_path());
    std::ofstream(videos_ + "/" + rel) << std::string(FILE_BYTES, 'x');
  }
  void segment(const std::string &trip, const std::string &base) {
    file(trip + "/" + base + ".mp4");
    file(trip + "/" + base + ".srt");
  }
  // Every file and directory under the videos directory, relative to it.
  std::set<std::string> tree() const {
    std::set<std::string> out;
    for (auto &e : fs::recursive_directory_iterator(videos_)) out.insert(fs::relative(e.path(), videos_).string());
    return out;
  }
  uint64_t used() const {
    uint64_t n = 0;
    for (auto &e : fs::recursive_directory_iterator(videos_)) {
      if (e.is_regular_file()) n += e.file_size();
    }
    return n;
  }
  // A file system of `capacity` bytes keeping `percent` free.
  FootageCleaner cleaner(uint64_t capacity, double percent) {
    return FootageCleaner(videos_, percent, [this, capacity](const std::string &dir, SpaceInfo *info) {
      EXPECT_EQ(dir, videos_);
      info->total_bytes = capacity;
      info->free_bytes = capacity - std::min(capacity, used());
      return true;
    });
  }

  TestDir dir_;
  std::string videos_ = dir_.path();
};

}  // namespace

TEST_F(FootageCleanerTest, DeletesTheOldestSegmentPairsFirstUntilTheReserveIsMet) {
  segment("20240101-080000", "20240101-080000");
  segment("20240101-080000", "20240101-080000_2");
  segment("20240101-080000", "20240101-080000_10");
  segment("20240101-080000", "20240101-080300");
  segment("20240102-080000", "20240102-080000");
  // 10 files of 100 bytes on 1250 bytes: 250 free, 500 wanted; two pairs go.
  EXPECT_TRUE(cleaner(1250, 40).keep_reserve("", ""));
  EXPECT_EQ(tree(), (std::set<std::string>{"20240101-080000", "20240101-080000/20240101-080000_10.mp4",
                                           "20240101-080000/20240101-080000_10.srt",
                                           "20240101-080000/20240101-080300.mp4",
                                           "20240101-080000/20240101-080300.srt", "20240102-080000",
                                           "20240102-080000/20240102-080000.mp4",
                                           "20240102-080000/20240102-080000.srt"}));
  EXPECT_EQ(LogCapture::instance().take(),
            (Logs{"roadrecd: loop recording deleted 20240101-080000/20240101-080000 (.mp4, .srt)",
                  "roadrecd: loop recording deleted 20240101-080000/20240101-080000_2 (.mp4, .srt)"}));

  // Emptied, the oldest trip goes with its last pair; the reserve met, nothing more.
  EXPECT_TRUE(cleaner(1250, 70).keep_reserve("", ""));
  EXPECT_EQ(tree(), (std::set<std::string>{"20240102-080000", "20240102-080000/20240102-080000.mp4",
                                           "20240102-080000/20240102-080000.srt"}));
  Logs l = LogCapture::instance().take();
  ASSERT_EQ(l.size(), 3u);
  EXPECT_EQ(l[2], "roadrecd: loop recording removed trip 20240101-080000");
}

TEST_F(FootageCleanerTest, NeverTouchesTheOpenSegmentLockedOrKeptFootageOrForeignFiles) {
  segment("20240101-080000", "20240101-080000");
  file("20240101-080000/KEEP");
  segment("20240102-080000", "20240102-080000");
  file("20240102-080000/notes.txt");                // the user's: the trip directory stays
  file("20240102-080000/20240102-080000.mp4.bak");  // not a name the recorder gives
  segment("20240103-080000", "20240103-080000");    // left open by another recorder
  file("20240103-080000/20240103-080000.mp4.lock");
  segment("holiday", "20240104-080000");            // not a trip directory of ours
  file("20240105-080000.mp4");                      // not inside a trip
  segment("20240106-080000", "20240106-080000");    // the open trip: an older segment, the open one
  segment("20240106-080000", "20240106-080300");    // (spared by its name, lock or not)
  const std::set<std::string> before = tree();

  // No reserve can be met: everything that may go, goes.
  EXPECT_FALSE(cleaner(1000000, 99.9).keep_reserve(videos_ + "/20240106-080000", "20240106-080300"));
  std::set<std::string> expected = before;
  for (const char *gone : {"20240102-080000/20240102-080000.mp4", "20240102-080000/20240102-080000.srt",
                           "20240106-080000/20240106-080000.mp4", "20240106-080000/20240106-080000.srt"}) {
    expected.erase(gone);
  }
  EXPECT_EQ(tree(), expected);
  // An open trip whose segment is not open yet keeps its directory, though it is empty.
  fs::create_directories(videos_ + "/20240107-080000");
  EXPECT_FALSE(cleaner(1000000, 99.9).keep_reserve(videos_ + "/20240107-080000", ""));
  EXPECT_TRUE(fs::exists(videos_ + "/20240107-080000"));
}

TEST_F(FootageCleanerTest, NothingGoesWhileTheReserveHolds) {
  segment("20240101-080000", "20240101-080000");
  const std::set<std::string> before = tree();
  EXPECT_TRUE(cleaner(2000, 90).keep_reserve("", ""));  // 1800 free of 2000
  EXPECT_TRUE(cleaner(200, 0).keep_reserve("", ""));     // full, but no reserve asked
  EXPECT_EQ(tree(), before);
  // A file system that cannot be measured is left alone.
  FootageCleaner blind(videos_, 50, [](const std::string &, SpaceInfo *) { return false; });
  EXPECT_TRUE(blind.keep_reserve("", ""));
  EXPECT_EQ(tree(), before);
}
