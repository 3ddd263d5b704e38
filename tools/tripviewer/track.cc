#include "tools/tripviewer/track.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double EARTH_RADIUS_M = 6371008.8;  // mean radius
constexpr double DEG = M_PI / 180.0;

}  // namespace

double distance_m(double lat1, double lon1, double lat2, double lon2) {
  const double dlat = (lat2 - lat1) * DEG, dlon = (lon2 - lon1) * DEG;
  const double a = std::sin(dlat / 2) * std::sin(dlat / 2) +
                   std::cos(lat1 * DEG) * std::cos(lat2 * DEG) * std::sin(dlon / 2) * std::sin(dlon / 2);
  return 2 * EARTH_RADIUS_M * std::asin(std::min(1.0, std::sqrt(a)));
}

SegmentTrack make_segment_track(const std::vector<SubtitleEntry> &entries) {
  SegmentTrack track;
  for (const SubtitleEntry &e : entries) {
    const int entry = track.entries++;
    track.seconds = std::max(track.seconds, e.end_ms / 1000.0);
    const std::optional<Position> p = parse_position(e.text);
    if (!p || !p->has_fix) continue;
    // The car moves across a stretch without fix too: distance joins every fix to the one before.
    if (!track.fixes.empty()) {
      const TrackFix &prev = track.fixes.back();
      track.distance_m += distance_m(prev.lat, prev.lon, p->lat, p->lon);
    }
    track.fixes.push_back({entry, e.start_ms / 1000.0, p->lat, p->lon, p->mph});
    track.top_mph = std::max(track.top_mph, p->mph);
  }
  return track;
}

SegmentTrack read_segment_track(std::string_view subtitle_file) {
  return make_segment_track(parse_subtitles(subtitle_file));
}
