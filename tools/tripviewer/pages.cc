#include "tools/tripviewer/pages.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "tools/tripviewer/html.h"
#include "tools/tripviewer/trip_names.h"
#include "tools/tripviewer/trip_view.h"

namespace {

// The speed drawing: a plot area with room on the left for the scale and below for the time.
constexpr double SPEED_W = 640, SPEED_H = 200, SPEED_LEFT = 44, SPEED_RIGHT = 8, SPEED_TOP = 10,
                 SPEED_BOTTOM = 24;

std::string num(double v) {
  char buf[32];
  snprintf(buf, sizeof(buf), "%.1f", v);
  return buf;
}

std::string trip_url(const std::string &trip) {
  return "/trips/" + trip;
}

std::string top_speed_text(const TripSummary &s) {
  return s.top_mph >= 0 ? std::to_string(s.top_mph) + " MPH" : "—";
}
std::string distance_text(const TripSummary &s) {
  return s.fixes > 0 ? format_distance(s.distance_m) : "—";
}

const char *const RECORDING_BADGE = "<span class=\"badge recording\">● recording</span>";
const char *const INTERRUPTED_BADGE =
    "<span class=\"badge interrupted\" title=\"The recorder writing it stopped; its next start recovers "
    "it\">interrupted</span>";

std::string state_badges(bool recording, bool interrupted) {
  return std::string(recording ? RECORDING_BADGE : "") + (recording && interrupted ? " " : "") +
         (interrupted ? INTERRUPTED_BADGE : "");
}

std::string disk_line(const TripListing &listing, const std::string &videos_dir) {
  std::string out = "<p class=\"disk\" id=\"disk\">";
  if (listing.total_bytes > 0) {
    char pct[32];
    snprintf(pct, sizeof(pct), "%.0f %%", 100.0 * listing.free_bytes / listing.total_bytes);
    out += "Free space: <b>" + format_bytes(listing.free_bytes) + "</b> of " +
           format_bytes(listing.total_bytes) + " (" + pct + ")";
  } else {
    out += "Free space: unknown";
  }
  out += " · videos in <code>" + html_escape(videos_dir) + "</code></p>\n";
  return out;
}

std::string trip_row(const TripInfo &trip) {
  const TripSummary s = summarize(trip);
  std::string row = "<tr data-trip=\"" + html_escape(s.name) + "\">";
  row += "<td><a href=\"" + html_escape(trip_url(s.name)) + "\">" + html_escape(s.start) + "</a></td>";
  row += "<td>" + format_duration(s.seconds) + "</td>";
  row += "<td class=\"num\">" + std::to_string(s.segments) + "</td>";
  row += "<td class=\"num\">" + format_bytes(s.bytes) + "</td>";
  row += "<td class=\"num\">" + distance_text(s) + "</td>";
  row += "<td class=\"num\">" + top_speed_text(s) + "</td>";
  row += "<td>" + state_badges(s.recording, s.interrupted) +
         (s.fixes == 0 ? "<span class=\"badge\">no GPS</span>" : "") + "</td>";
  return row + "</tr>\n";
}

// The route as one polyline per stretch of consecutive fixes, with a marker the player moves.
std::string route_svg(const TripPlot &plot) {
  std::string svg = "<svg id=\"route\" class=\"route\" viewBox=\"0 0 " + num(TripPlot::WIDTH) + " " +
                    num(TripPlot::HEIGHT) + "\" role=\"img\" aria-label=\"Route\">\n";
  std::string points, gaps;
  auto flush = [&] {
    if (!points.empty()) svg += "<polyline class=\"stretch\" points=\"" + points + "\"/>\n";
    points.clear();
  };
  const PlotPoint *prev = nullptr;
  for (const PlotPoint &p : plot.points) {
    if (p.starts_stretch) {
      flush();
      // Where the fix was lost, a dashed line joins the two ends.
      if (prev) {
        gaps += "<line class=\"gap\" x1=\"" + num(prev->x) + "\" y1=\"" + num(prev->y) + "\" x2=\"" +
                num(p.x) + "\" y2=\"" + num(p.y) + "\"/>\n";
      }
    }
    if (!points.empty()) points += ' ';
    points += num(p.x) + "," + num(p.y);
    prev = &p;
  }
  flush();
  svg += gaps;
  const PlotPoint &first = plot.points.front(), &last = plot.points.back();
  svg += "<circle class=\"start\" cx=\"" + num(first.x) + "\" cy=\"" + num(first.y) + "\" r=\"5\"/>\n";
  svg += "<circle class=\"end\" cx=\"" + num(last.x) + "\" cy=\"" + num(last.y) + "\" r=\"5\"/>\n";
  svg += "<circle id=\"marker\" class=\"marker\" cx=\"" + num(first.x) + "\" cy=\"" + num(first.y) +
         "\" r=\"7\"/>\n";
  return svg + "</svg>\n";
}

// Speed over trip time, one polyline per stretch with fix, a scale in MPH and a cursor for the
// player's position.
std::string speed_svg(const TripPlot &plot, int top_mph) {
  const int scale = std::max(10, (top_mph + 9) / 10 * 10);
  const double plot_w = SPEED_W - SPEED_LEFT - SPEED_RIGHT, plot_h = SPEED_H - SPEED_TOP - SPEED_BOTTOM;
  const double seconds = std::max(plot.seconds, 1.0);
  auto x_of = [&](double t) { return SPEED_LEFT + t / seconds * plot_w; };
  auto y_of = [&](double mph) { return SPEED_TOP + (1 - mph / scale) * plot_h; };

  std::string svg = "<svg id=\"speed\" class=\"speed\" viewBox=\"0 0 " + num(SPEED_W) + " " + num(SPEED_H) +
                    "\" data-x0=\"" + num(SPEED_LEFT) + "\" data-width=\"" + num(plot_w) +
                    "\" data-seconds=\"" + num(seconds) + "\" role=\"img\" aria-label=\"Speed over time\">\n";
  for (int mph = 0; mph <= scale; mph += scale / 2) {
    const std::string y = num(y_of(mph));
    svg += "<line class=\"grid\" x1=\"" + num(SPEED_LEFT) + "\" y1=\"" + y + "\" x2=\"" +
           num(SPEED_W - SPEED_RIGHT) + "\" y2=\"" + y + "\"/>\n";
    svg += "<text class=\"scale\" x=\"" + num(SPEED_LEFT - 6) + "\" y=\"" + num(y_of(mph) + 4) + "\">" +
           std::to_string(mph) + "</text>\n";
  }
  svg +=
      "<text class=\"scale\" x=\"" + num(SPEED_LEFT - 6) + "\" y=\"" + num(SPEED_H - 6) + "\">MPH</text>\n";
  svg += "<text class=\"time\" x=\"" + num(SPEED_W - SPEED_RIGHT) + "\" y=\"" + num(SPEED_H - 6) + "\">" +
         format_duration(plot.seconds) + "</text>\n";
  std::string points;
  auto flush = [&] {
    if (!points.empty()) svg += "<polyline class=\"speedline\" points=\"" + points + "\"/>\n";
    points.clear();
  };
  for (const PlotPoint &p : plot.points) {
    if (p.starts_stretch) flush();
    if (!points.empty()) points += ' ';
    points += num(x_of(p.trip_t)) + "," + num(y_of(p.mph));
  }
  flush();
  svg += "<line id=\"cursor\" class=\"cursor\" x1=\"" + num(SPEED_LEFT) + "\" y1=\"" + num(SPEED_TOP) +
         "\" x2=\"" + num(SPEED_LEFT) + "\" y2=\"" + num(SPEED_TOP + plot_h) + "\"/>\n";
  return svg + "</svg>\n";
}

std::string segments_table(const TripInfo &trip, const TripPlot &plot) {
  std::string out =
      "<table class=\"segments\" id=\"segments\">\n<thead><tr><th>#</th><th>Segment</th><th>Starts at</th>"
      "<th>Length</th><th>Size</th><th>Files</th></tr></thead>\n<tbody>\n";
  for (size_t i = 0; i < trip.segments.size(); i++) {
    const SegmentInfo &s = trip.segments[i];
    out += "<tr data-segment=\"" + html_escape(s.name) + "\"><td class=\"num\">" + std::to_string(i + 1) +
           "</td>";
    out += "<td>" + html_escape(name_display_time(s.name)) + "</td>";
    out += "<td class=\"num\">" + format_duration(plot.segment_offsets[i]) + "</td>";
    out += "<td class=\"num\">" + (s.track ? format_duration(s.track->seconds) : std::string("—")) + "</td>";
    out += "<td class=\"num\">" + format_bytes(s.video_bytes + s.subtitle_bytes) + "</td><td>";
    if (s.recording) {
      out += std::string(RECORDING_BADGE) + " not available until the segment is closed";
    } else if (s.interrupted) {
      out += std::string(INTERRUPTED_BADGE) +
             ": the recorder writing it stopped; not available until the recorder's next start recovers it";
    } else {
      if (s.has_video) {
        out += "<a class=\"download\" download href=\"" +
               html_escape(segment_url(trip.name, s.name, ".mp4")) + "\">video (MP4)</a> ";
      }
      if (s.has_subtitles) {
        out += "<a class=\"download\" download href=\"" +
               html_escape(segment_url(trip.name, s.name, ".srt")) + "\">subtitles (SRT)</a>";
      }
    }
    out += "</td></tr>\n";
  }
  return out + "</tbody></table>\n";
}

}  // namespace

std::string segment_url(const std::string &trip, const std::string &segment, const char *ext) {
  return "/trips/" + trip + "/" + segment + ext;
}

std::string trip_list_page(const TripListing &listing, const std::string &videos_dir) {
  std::string body = "<header><h1>Trips</h1>\n" + disk_line(listing, videos_dir) + "</header>\n<main>\n";
  bool recording = false;
  if (!listing.readable) {
    body += "<p class=\"notice\" id=\"unreadable\">The videos directory <code>" + html_escape(videos_dir) +
            "</code> cannot be read: " + html_escape(listing.error) + ".</p>\n";
  } else if (listing.trips.empty()) {
    body += "<p class=\"notice\" id=\"no-trips\">No trips recorded yet.</p>\n";
  } else {
    body +=
        "<table class=\"trips\" id=\"trips\">\n<thead><tr><th>Start</th><th>Duration</th><th>Segments</th>"
        "<th>Size</th><th>Distance</th><th>Top speed</th><th></th></tr></thead>\n<tbody>\n";
    for (const TripInfo &trip : listing.trips) {
      body += trip_row(trip);
      for (const SegmentInfo &s : trip.segments) recording |= s.recording;
    }
    body += "</tbody></table>\n";
  }
  body += "</main>\n";
  // While the recorder writes, the figures change: the list refreshes itself.
  const char *refresh = recording ? "<meta http-equiv=\"refresh\" content=\"15\">\n" : "";
  return html_page("Trips", body, refresh);
}

std::string trip_page(const TripInfo &trip) {
  const TripSummary s = summarize(trip);
  const TripPlot plot = plot_trip(trip);
  std::string body = "<header><a href=\"/\" class=\"back\">← All trips</a>\n<h1>Trip " +
                     html_escape(s.start) + (s.recording || s.interrupted ? " " : "") +
                     state_badges(s.recording, s.interrupted) + "</h1>\n";
  body += "<p class=\"summary\">" + format_duration(s.seconds) + " · " + std::to_string(s.segments) +
          (s.segments == 1 ? " segment" : " segments") + " · " + format_bytes(s.bytes) + " · " +
          distance_text(s) + " · top speed " + top_speed_text(s) + "</p>\n</header>\n<main>\n";

  // The first finished segment is in the page, so it plays without the script too.
  const SegmentInfo *first = nullptr;
  for (const SegmentInfo &seg : trip.segments) {
    if (!seg.recording && !seg.interrupted && seg.has_video) {
      first = &seg;
      break;
    }
  }
  body += "<div class=\"trip\">\n<section class=\"player\">\n";
  if (first) {
    body += "<video id=\"player\" controls muted playsinline preload=\"auto\" src=\"" +
            html_escape(segment_url(trip.name, first->name, ".mp4")) + "\">";
    if (first->has_subtitles) {
      body += "<track kind=\"subtitles\" label=\"Position\" srclang=\"en\" default src=\"" +
              html_escape(segment_url(trip.name, first->name, ".vtt")) + "\">";
    }
    body += "</video>\n<p class=\"now\" id=\"now-playing\"></p>\n<p class=\"cue\" id=\"cue\"></p>\n";
  } else {
    body += "<p class=\"notice\" id=\"nothing-to-play\">No finished segment to play yet.</p>\n";
  }
  body += "</section>\n<section class=\"drawings\">\n";
  if (plot.points.empty()) {
    body +=
        "<p class=\"notice\" id=\"no-gps\">This trip has no GPS positions: there is no route or speed to "
        "draw.</p>\n";
  } else {
    body += "<figure><figcaption>Route</figcaption>\n" + route_svg(plot) +
            "</figure>\n<figure><figcaption>Speed</figcaption>\n" + speed_svg(plot, s.top_mph) +
            "</figure>\n";
  }
  body += "</section>\n</div>\n";
  body += "<section><h2>Segments</h2>\n" + segments_table(trip, plot) + "</section>\n</main>\n";
  body += "<script src=\"/static/trip.js\"></script>\n";
  return html_page("Trip " + s.start, body, "", "data-trip=\"" + html_escape(trip.name) + "\"");
}

std::string error_page(int status, const std::string &title, const std::string &message) {
  std::string body = "<header><a href=\"/\" class=\"back\">← All trips</a>\n<h1>" + html_escape(title) +
                     "</h1></header>\n<main>\n<p class=\"notice\" id=\"error\" data-status=\"" +
                     std::to_string(status) + "\">" + html_escape(message) + "</p>\n</main>\n";
  return html_page(title, body);
}
