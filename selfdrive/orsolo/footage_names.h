#pragma once

// The names the recorder gives on disk, so that nothing else is ever taken for its own:
// a trip directory is "YYYYMMDD-HHMMSS" (the trip's start, local time); a segment's files are
// "<base>.mp4", "<base>.srt" and, while it is open, "<base>.mp4.lock", where the base is the
// segment's start "YYYYMMDD-HHMMSS", followed by "_N" when that name was already taken.

#include <string>

// "YYYYMMDD-HHMMSS", digits only.
bool is_trip_name(const std::string &name);
// A timestamp with an optional "_N" (N one or more digits).
bool is_segment_base(const std::string &base);
// The segment base of a file named `file` if it is "<base><suffix>" with a segment base;
// empty otherwise.
std::string segment_base_of(const std::string &file, const std::string &suffix);
// Orders segment bases by their time, then by their "_N" (so "_2" comes before "_10").
bool segment_base_less(const std::string &a, const std::string &b);
