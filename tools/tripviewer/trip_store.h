#pragma once

// The recorder's trip tree as the viewer sees it: trips, their segments, which segment a
// recorder is writing (its lock file, locked: held_locks.h), which one was interrupted, a recorder
// having stopped while writing it (its lock file, unlocked), and the track read from each segment's subtitles.
//
// Everything is opened relative to the videos directory with symbolic links refused, and only
// recorder names (trip_names.h) are looked up, so nothing outside the tree can be reached. The
// tree is read afresh on every call, so trips that come and go are seen at once; what is derived
// from a finished segment (no lock: the recorder has closed it for good) is kept, keyed by the
// subtitle file's identity, and dropped when the segment is gone.
// Safe to use from several threads.

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/tripviewer/held_locks.h"
#include "tools/tripviewer/track.h"
#include "common/unique_fd.h"

struct SegmentInfo {
  std::string name;
  bool recording = false;  // its lock file is held: a recorder is writing it
  // Its lock file is there but nobody holds it: a recorder stopped while writing it. Unfinished
  // until the recorder's next start recovers it (or removes it when no frame reached the disk).
  bool interrupted = false;
  bool has_video = false, has_subtitles = false;
  uint64_t video_bytes = 0, subtitle_bytes = 0;
  std::shared_ptr<const SegmentTrack> track;  // null without a readable subtitle file
};

struct TripInfo {
  std::string name;
  std::vector<SegmentInfo> segments;  // in recording order
};

struct TripListing {
  bool readable = false;  // false: the videos directory cannot be read, `error` says why
  std::string error;
  std::vector<TripInfo> trips;  // newest first
  uint64_t free_bytes = 0, total_bytes = 0;
};

enum class FileStatus { OK, NOT_FOUND, RECORDING, INTERRUPTED };

struct OpenedFile {
  FileStatus status = FileStatus::NOT_FOUND;
  UniqueFd fd;
  uint64_t size = 0;
};

class TripStore {
 public:
  explicit TripStore(std::string videos_dir);

  const std::string &videos_dir() const { return videos_dir_; }

  TripListing list_trips();
  // False when there is no such trip.
  bool trip(const std::string &name, TripInfo &out);
  // A finished segment's ".mp4" or ".srt", opened for reading. A segment being recorded, or left
  // open, is not offered: its file is not complete.
  OpenedFile open_segment_file(const std::string &trip, const std::string &segment, const std::string &ext);

  // Bytes a subtitle file may have; one of the recorder's holds 180 short entries.
  static constexpr uint64_t MAX_SUBTITLE_BYTES = 4 << 20;

 private:
  struct CachedTrack {
    dev_t dev;
    ino_t ino;
    off_t size;
    int64_t mtime_ns;
    std::shared_ptr<const SegmentTrack> track;
  };

  UniqueFd open_root(std::string *error) const;
  bool read_trip(int root_fd, const std::string &name, const HeldLocks &locks, TripInfo &out);
  std::shared_ptr<const SegmentTrack> segment_track(int trip_fd, const std::string &key,
                                                    const std::string &srt_name, bool finished);

  const std::string videos_dir_;
  std::mutex cache_lock_;
  std::map<std::string, CachedTrack> cache_;  // "trip/segment" of finished segments
};

// Reads a whole file of at most `max_bytes`; false when it is larger or unreadable.
bool read_small_file(int fd, uint64_t max_bytes, std::string &out);
