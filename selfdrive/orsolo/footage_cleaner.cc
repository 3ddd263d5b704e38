#include "selfdrive/orsolo/footage_cleaner.h"

#include <dirent.h>
#include <errno.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <utility>
#include <vector>

#include "common/swaglog.h"
#include "common/util.h"
#include "selfdrive/orsolo/footage_names.h"

namespace {

// The names in `dir`, without "." and "..".
std::vector<std::string> list_dir(const std::string &dir) {
  std::vector<std::string> names;
  DIR *d = opendir(dir.c_str());
  if (!d) return names;
  while (struct dirent *e = readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(d);
  return names;
}

// Removes `path`; a file that is already gone counts as removed.
bool remove_file(const std::string &path) { return unlink(path.c_str()) == 0 || errno == ENOENT; }

}  // namespace

bool statvfs_space(const std::string &dir, SpaceInfo *info) {
  struct statvfs st;
  if (statvfs(dir.c_str(), &st) != 0) return false;
  info->total_bytes = (uint64_t)st.f_blocks * st.f_frsize;
  info->free_bytes = (uint64_t)st.f_bavail * st.f_frsize;
  return true;
}

FootageCleaner::FootageCleaner(std::string videos_dir, double min_free_percent, SpaceProbe probe)
    : videos_dir_(std::move(videos_dir)), min_free_percent_(min_free_percent), probe_(std::move(probe)) {}

bool FootageCleaner::reserve_met() {
  SpaceInfo info;
  // A file system that cannot be measured is left alone: nothing is deleted on a guess.
  if (!probe_(videos_dir_, &info)) return true;
  return (double)info.free_bytes >= (double)info.total_bytes * min_free_percent_ / 100.0;
}

bool FootageCleaner::keep_reserve(const std::string &open_trip_dir, const std::string &open_segment) {
  if (reserve_met()) return true;
  std::vector<std::string> trips;
  for (const std::string &name : list_dir(videos_dir_)) {
    if (is_trip_name(name)) trips.push_back(name);
  }
  // Trip names are their start times: name order is age order.
  std::sort(trips.begin(), trips.end());
  for (const std::string &trip : trips) {
    if (clean_trip(trip, open_trip_dir, open_segment)) return true;
  }
  return false;
}

bool FootageCleaner::clean_trip(const std::string &trip, const std::string &open_trip_dir,
                                const std::string &open_segment) {
  const std::string dir = videos_dir_ + "/" + trip;
  const bool is_open_trip = dir == open_trip_dir;
  if (util::file_exists(dir + "/" + KEEP_FILE)) return false;

  const std::vector<std::string> names = list_dir(dir);
  const std::set<std::string> present(names.begin(), names.end());
  std::vector<std::string> segments;
  for (const std::string &name : names) {
    std::string base = segment_base_of(name, ".mp4");
    if (base.empty()) base = segment_base_of(name, ".srt");
    if (base.empty() || present.count(base + ".mp4.lock")) continue;
    if (is_open_trip && base == open_segment) continue;
    segments.push_back(base);
  }
  std::sort(segments.begin(), segments.end(), segment_base_less);
  segments.erase(std::unique(segments.begin(), segments.end()), segments.end());

  bool met = false;
  for (const std::string &base : segments) {
    const std::string path = dir + "/" + base;
    if (remove_file(path + ".mp4") && remove_file(path + ".srt")) {
      LOGW("roadrecd: loop recording deleted %s/%s (.mp4, .srt)", trip.c_str(), base.c_str());
    } else {
      LOGW("roadrecd: loop recording cannot delete %s/%s: %s", trip.c_str(), base.c_str(), strerror(errno));
    }
    if ((met = reserve_met())) break;
  }
  // rmdir removes only an empty directory: anything the recorder did not name keeps the trip.
  if (!is_open_trip && rmdir(dir.c_str()) == 0) {
    LOGW("roadrecd: loop recording removed trip %s", trip.c_str());
  }
  return met;
}
