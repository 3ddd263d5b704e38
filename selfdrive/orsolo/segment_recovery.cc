#include "selfdrive/orsolo/segment_recovery.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "common/swaglog.h"
#include "common/util.h"
#include "selfdrive/orsolo/footage_names.h"

namespace {

std::vector<std::string> sorted_entries(const std::string &dir) {
  std::vector<std::string> names;
  DIR *d = opendir(dir.c_str());
  if (!d) return names;
  while (struct dirent *e = readdir(d)) names.push_back(e->d_name);
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

int recover_open_segments(const std::string &videos_dir, const SegmentRecoverer &recover) {
  int recovered = 0;
  for (const std::string &trip : sorted_entries(videos_dir)) {
    if (!is_trip_name(trip)) continue;
    const std::string dir = videos_dir + "/" + trip;
    std::vector<std::string> bases;
    for (const std::string &name : sorted_entries(dir)) {
      std::string base = segment_base_of(name, ".mp4.lock");
      if (!base.empty()) bases.push_back(base);
    }

    for (const std::string &base : bases) {
      const std::string mp4 = dir + "/" + base + ".mp4";
      std::string error;
      if (!recover(mp4, &error)) {
        LOGW("roadrecd: cannot recover segment %s/%s: %s", trip.c_str(), base.c_str(), error.c_str());
        continue;
      }
      recovered++;
      if (util::file_exists(mp4)) {
        LOGW("roadrecd: recovered segment %s/%s", trip.c_str(), base.c_str());
      } else {
        // No frame had reached the disk: subtitles of no video are of no use.
        unlink((dir + "/" + base + ".srt").c_str());
        LOGW("roadrecd: removed segment %s/%s: no frame had reached the disk", trip.c_str(), base.c_str());
      }
    }
    rmdir(dir.c_str());  // only when nothing is left in it, as after a death during a trip's start
  }
  return recovered;
}
