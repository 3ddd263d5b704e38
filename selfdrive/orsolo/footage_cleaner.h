#pragma once

// Loop recording: keeps a reserve of free space on the videos file system by deleting the
// oldest footage first, so that a full card never stops the recording of the next drive.
//
// Only the recorder's own files go: segment pairs ("<segment>.mp4" and "<segment>.srt") of
// trip directories it named, oldest trip first and, within a trip, oldest segment first; a trip
// directory emptied that way is removed. Never touched: the open segment, a segment that has a
// lock file (open, or left for recovery), a file or directory with any other name, and every
// trip directory holding a file named "KEEP" (the user's mark to keep that trip).

#include <cstdint>
#include <functional>
#include <string>

// What the file system holding the videos directory has.
struct SpaceInfo {
  uint64_t total_bytes = 0;
  uint64_t free_bytes = 0;  // available to the recorder
};
// Fills `info` for the file system of `dir`; false when it cannot be read.
using SpaceProbe = std::function<bool(const std::string &dir, SpaceInfo *info)>;
bool statvfs_space(const std::string &dir, SpaceInfo *info);

// The name of the file that marks a trip as kept.
constexpr const char *KEEP_FILE = "KEEP";

class FootageCleaner {
 public:
  // `min_free_percent` of the file system's size is kept free (0 keeps nothing free).
  FootageCleaner(std::string videos_dir, double min_free_percent, SpaceProbe probe = statvfs_space);

  // Deletes the oldest deletable footage until the reserve is met, logging every deletion.
  // The files of `open_segment` (a base name) in `open_trip_dir` (a path), and that trip
  // directory itself, are left alone; either may be empty. Returns true when the reserve is met.
  bool keep_reserve(const std::string &open_trip_dir, const std::string &open_segment);

  double min_free_percent() const { return min_free_percent_; }

 private:
  bool reserve_met();
  // Deletes the trip's deletable segments, oldest first, until the reserve is met; then, if
  // the trip is not the open one, removes its directory when nothing else is left in it.
  bool clean_trip(const std::string &trip, const std::string &open_trip_dir, const std::string &open_segment);

  const std::string videos_dir_;
  const double min_free_percent_;
  SpaceProbe probe_;
};
