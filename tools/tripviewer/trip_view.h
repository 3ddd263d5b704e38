#pragma once

// The figures of a trip that the pages and the JSON show, and its route and speed laid out for
// drawing.

#include <cstdint>
#include <string>
#include <vector>

#include "tools/tripviewer/trip_store.h"

struct TripSummary {
  std::string name;
  std::string start;  // local time the trip opened, "YYYY-MM-DD HH:MM:SS"
  double seconds = 0;
  size_t segments = 0;
  bool recording = false;
  bool interrupted = false;  // a segment whose recorder stopped while writing it
  uint64_t bytes = 0;
  double distance_m = 0;
  int top_mph = -1;  // -1: no position with a fix
  size_t fixes = 0;
};

TripSummary summarize(const TripInfo &trip);

// One position with a fix, placed in the route drawing (x right, y down).
struct PlotPoint {
  size_t segment = 0;
  double t = 0;       // seconds into its segment
  double trip_t = 0;  // seconds into the trip
  double x = 0, y = 0;
  int mph = 0;
  bool starts_stretch = false;  // the entry before it had no fix, or it is the first
};

struct TripPlot {
  static constexpr double WIDTH = 640, HEIGHT = 420, MARGIN = 16;
  std::vector<double> segment_offsets;  // trip seconds at which each segment starts
  double seconds = 0;
  std::vector<PlotPoint> points;
};

TripPlot plot_trip(const TripInfo &trip);
