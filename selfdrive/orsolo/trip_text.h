#pragma once

// Text helpers of the trip files: file names from local time, subtitle times and the
// subtitle entry itself.

#include <cstdio>
#include <ctime>
#include <string>

// "YYYYMMDD-HHMMSS" of `t` in local time; names trip directories and segments.
std::string make_timestamp(time_t t);
std::string make_timestamp();

// "YYYY-MM-DD HH:MM:SS UTC" of `t`; the time text of a subtitle entry.
std::string make_utc_timestamp(time_t t);
std::string make_utc_timestamp();

// "HH:MM:SS,000" for a whole number of seconds into the segment.
std::string srt_time(int seconds);

// What a subtitle entry says about the position; latitude, longitude and speed are used only
// with a fix.
struct GpsFix {
  bool has_fix = false;
  double latitude = 0;   // degrees
  double longitude = 0;  // degrees
  float speed = 0;       // metres per second
};

// Writes one four-line entry (index, time span, position or "No GPS", blank line) with a single
// formatted write. Entry `index` spans srt_time(index - 1) to srt_time(index) in the caller's use.
void write_srt_entry(FILE *f, int index, const std::string &t_start, const std::string &t_end, const GpsFix &gps,
                     const std::string &utc);
