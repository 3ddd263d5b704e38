#pragma once

// A recorder on a fresh videos directory, with every collaborator at hand. One received frame
// is 50 ms of boot clock (20 frames/s), so a processed frame is 100 ms.

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/util.h"
#include "selfdrive/orsolo/footage_cleaner.h"
#include "selfdrive/orsolo/recorder.h"
#include "selfdrive/orsolo/tests/recorder_fakes.h"
#include "tests/support/files.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

using Logs = std::vector<std::string>;

inline std::string util::read_file(const std::string &path) {
  std::ifstream f(path);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

class RecorderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    LogCapture::instance().take();  // forget what earlier tests logged
    base_ = dir_ / "videos";
    mkdir(base_.c_str(), 0755);
    cleaner_ = std::make_unique<FootageCleaner>(base_, 10.0, [this](const std::string &, SpaceInfo *info) {
      probes_++;
      *info = space_;
      return true;
    });
    rec_ = std::make_unique<Recorder>(
        base_, FrameGeometry{64, 32, 64, 64}, clock_,
        [this](const std::string &d, int width, int height) -> std::unique_ptr<SegmentEncoder> {
          if (refuse_encoder_) return nullptr;
          journal_.sizes.push_back({width, height});
          return std::make_unique<JournalEncoder>(journal_, d);
        },
        inputs_, key_, *cleaner_);
  }

  // Feeds `n` received frames (half of them processed); returns false if the loop had to end.
  bool feed(int n) {
    for (int i = 0; i < n; i++) {
      clock_.advance(0.05);
      if (!rec_->on_frame(pixels_, pixels_)) return false;
    }
    return true;
  }
  // Feeds received frames until `n` more have been processed.
  bool process(int n) { return feed(2 * n - (rec_->state().recv_count % 2)); }

  const RecorderState &st() const { return rec_->state(); }
  std::vector<std::string> trips() const { return list_dir(base_); }
  Logs logs() { return LogCapture::instance().take(); }
  size_t count_events(const std::string &prefix) const {
    return std::count_if(journal_.events.begin(), journal_.events.end(),
                         [&](const std::string &e) { return e.rfind(prefix, 0) == 0; });
  }

  TestDir dir_;
  std::string base_;
  ManualClock clock_;
  EncoderJournal journal_;
  bool refuse_encoder_ = false;
  ScriptedInputs inputs_;
  FlagShutdownKey key_;
  SpaceInfo space_{1000000, 1000000};  // what the videos file system reports: all free
  int probes_ = 0;
  std::unique_ptr<FootageCleaner> cleaner_;
  std::unique_ptr<Recorder> rec_;
  uint8_t pixels_[64 * 48] = {};
};
