#include "tools/tripviewer/trip_view.h"

#include <algorithm>
#include <cmath>

#include "tools/tripviewer/trip_names.h"

namespace {

// The position before `f` in the trip, if the fixes join without an entry between them.
bool continues(const SegmentInfo *prev_seg, const TrackFix *prev, size_t prev_index, size_t index,
               const TrackFix &f) {
  if (!prev) return false;
  if (prev_index == index) return prev->entry + 1 == f.entry;
  return prev_index + 1 == index && prev->entry + 1 == prev_seg->track->entries && f.entry == 0;
}

}  // namespace

TripSummary summarize(const TripInfo &trip) {
  TripSummary s;
  s.name = trip.name;
  s.start = name_display_time(trip.name);
  s.segments = trip.segments.size();
  const TrackFix *last_fix = nullptr;
  for (const SegmentInfo &seg : trip.segments) {
    s.recording |= seg.recording;
    s.interrupted |= seg.interrupted;
    s.bytes += seg.video_bytes + seg.subtitle_bytes;
    if (!seg.track) continue;
    const SegmentTrack &t = *seg.track;
    s.seconds += t.seconds;
    s.distance_m += t.distance_m;
    s.top_mph = std::max(s.top_mph, t.top_mph);
    s.fixes += t.fixes.size();
    if (t.fixes.empty()) continue;
    // The way between two segments counts too.
    if (last_fix) s.distance_m += distance_m(last_fix->lat, last_fix->lon, t.fixes[0].lat, t.fixes[0].lon);
    last_fix = &t.fixes.back();
  }
  return s;
}

TripPlot plot_trip(const TripInfo &trip) {
  TripPlot plot;
  double min_lat = 90, max_lat = -90, min_lon = 180, max_lon = -180;
  for (const SegmentInfo &seg : trip.segments) {
    plot.segment_offsets.push_back(plot.seconds);
    if (!seg.track) continue;
    plot.seconds += seg.track->seconds;
    for (const TrackFix &f : seg.track->fixes) {
      min_lat = std::min(min_lat, f.lat);
      max_lat = std::max(max_lat, f.lat);
      min_lon = std::min(min_lon, f.lon);
      max_lon = std::max(max_lon, f.lon);
    }
  }
  // Equirectangular about the middle latitude: true to shape over the few kilometres of a trip.
  const double kx = std::cos((min_lat + max_lat) / 2 * M_PI / 180.0);
  const double span_x = (max_lon - min_lon) * kx, span_y = max_lat - min_lat;
  const double inner_w = TripPlot::WIDTH - 2 * TripPlot::MARGIN,
               inner_h = TripPlot::HEIGHT - 2 * TripPlot::MARGIN;
  const double scale =
      std::min(span_x > 0 ? inner_w / span_x : INFINITY, span_y > 0 ? inner_h / span_y : INFINITY);
  const double k = std::isfinite(scale) ? scale : 0;  // a single spot sits in the middle
  const double x0 = (TripPlot::WIDTH - span_x * k) / 2, y0 = (TripPlot::HEIGHT - span_y * k) / 2;

  const SegmentInfo *prev_seg = nullptr;
  const TrackFix *prev = nullptr;
  size_t prev_index = 0;
  for (size_t i = 0; i < trip.segments.size(); i++) {
    const SegmentInfo &seg = trip.segments[i];
    if (!seg.track) continue;
    for (const TrackFix &f : seg.track->fixes) {
      PlotPoint p;
      p.segment = i;
      p.t = f.t;
      p.trip_t = plot.segment_offsets[i] + f.t;
      p.x = x0 + (f.lon - min_lon) * kx * k;
      p.y = y0 + (max_lat - f.lat) * k;
      p.mph = f.mph;
      p.starts_stretch = !continues(prev_seg, prev, prev_index, i, f);
      plot.points.push_back(p);
      prev_seg = &seg;
      prev = &f;
      prev_index = i;
    }
  }
  return plot;
}
