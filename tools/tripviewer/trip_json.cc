#include "tools/tripviewer/trip_json.h"

#include <nlohmann/json.hpp>

#include "tools/tripviewer/pages.h"
#include "tools/tripviewer/trip_view.h"

namespace {

using nlohmann::json;

json summary_json(const TripSummary &s) {
  return {{"name", s.name},
          {"start", s.start},
          {"seconds", s.seconds},
          {"segments", s.segments},
          {"recording", s.recording},
          {"interrupted", s.interrupted},
          {"bytes", s.bytes},
          {"distance_m", s.distance_m},
          {"top_mph", s.top_mph >= 0 ? json(s.top_mph) : json(nullptr)},
          {"fixes", s.fixes}};
}

json url_or_null(bool offered, const std::string &trip, const std::string &segment, const char *ext) {
  return offered ? json(segment_url(trip, segment, ext)) : json(nullptr);
}

}  // namespace

std::string trip_list_json(const TripListing &listing, const std::string &videos_dir) {
  json trips = json::array();
  for (const TripInfo &t : listing.trips) trips.push_back(summary_json(summarize(t)));
  json out = {{"videos_dir", videos_dir},
              {"readable", listing.readable},
              {"free_bytes", listing.free_bytes},
              {"total_bytes", listing.total_bytes},
              {"trips", trips}};
  if (!listing.readable) out["error"] = listing.error;
  return out.dump();
}

std::string trip_json(const TripInfo &trip) {
  const TripPlot plot = plot_trip(trip);
  json out = summary_json(summarize(trip));
  json segments = json::array();
  for (size_t i = 0; i < trip.segments.size(); i++) {
    const SegmentInfo &s = trip.segments[i];
    const bool finished = !s.recording && !s.interrupted;
    segments.push_back({{"name", s.name},
                        {"offset", plot.segment_offsets[i]},
                        {"seconds", s.track ? s.track->seconds : 0.0},
                        {"recording", s.recording},
                        {"interrupted", s.interrupted},
                        {"bytes", s.video_bytes + s.subtitle_bytes},
                        {"video", url_or_null(finished && s.has_video, trip.name, s.name, ".mp4")},
                        {"subtitles", url_or_null(finished && s.has_subtitles, trip.name, s.name, ".vtt")},
                        {"srt", url_or_null(finished && s.has_subtitles, trip.name, s.name, ".srt")}});
  }
  json points = json::array();
  for (const PlotPoint &p : plot.points) {
    points.push_back({{"segment", p.segment}, {"t", p.t}, {"x", p.x}, {"y", p.y}, {"mph", p.mph}});
  }
  out["segments"] = segments;
  out["points"] = points;
  return out.dump();
}
