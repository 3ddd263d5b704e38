#pragma once

// The recorder's settings that can change when it starts, from its environment:
//   ROADRECD_VIDEOS_DIR        the videos directory (default: the build-time VIDEOS_BASE)
//   ROADRECD_MIN_FREE_PERCENT  the free-space reserve of its file system, in percent
//                              (default 10; 0 turns loop recording off; below 100)

#include <string>
#include <vector>

// The videos directory when ROADRECD_VIDEOS_DIR is not set: the CMake cache variable
// ROADRECD_VIDEOS_BASE ("/data/media/0/videos" on the device).
extern const char *const VIDEOS_BASE;

struct RecorderSettings {
  std::string videos_dir;
  double min_free_percent = 0;
};

// A value that cannot be used is named in `problems` and replaced by its default.
RecorderSettings read_recorder_settings(std::vector<std::string> *problems);

// What `roadrecd --help` prints.
std::string recorder_help_text();
