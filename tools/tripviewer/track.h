#pragma once

// What a segment's subtitles tell about the drive: its length in seconds and the positions with a
// fix, and the sums the trip list shows.

#include <string_view>
#include <vector>

#include "tools/tripviewer/subtitles.h"

struct TrackFix {
  int entry = 0;  // 0-based entry of the segment; consecutive entries make one stretch of route
  double t = 0;   // seconds into the segment (the entry's start)
  double lat = 0, lon = 0;
  int mph = 0;
};

struct SegmentTrack {
  int entries = 0;
  double seconds = 0;  // end of the last entry: one entry per second of video
  std::vector<TrackFix> fixes;
  double distance_m = 0;  // along consecutive fixes of this segment
  int top_mph = -1;       // -1 without any fix
};

SegmentTrack make_segment_track(const std::vector<SubtitleEntry> &entries);
SegmentTrack read_segment_track(std::string_view subtitle_file);

// Great-circle distance in metres.
double distance_m(double lat1, double lon1, double lat2, double lon2);
