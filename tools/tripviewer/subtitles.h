#pragma once

// The recorder's subtitle files: reading their entries, the position each entry carries, and
// their conversion to WebVTT for the browser's player.
//
// An entry is four lines: the index, "HH:MM:SS,mmm --> HH:MM:SS,mmm", the text, an empty line.
// The recorder's text is either "35 MPH | 37.7749°N 122.4194°W | 2024-05-01 17:03:22 UTC" or
// "No GPS | 2024-05-01 17:03:22 UTC".

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct SubtitleEntry {
  int index = 0;
  long start_ms = 0;
  long end_ms = 0;
  std::string text;  // its lines joined by '\n'
};

// The complete entries of a subtitle file, in file order. A file being written can end inside an
// entry: an entry counts only once its text line is complete. Blocks that are not entries are
// skipped.
std::vector<SubtitleEntry> parse_subtitles(std::string_view file);

// What an entry's text says about the position.
struct Position {
  bool has_fix = false;
  int mph = 0;
  double lat = 0, lon = 0;  // degrees, south and west negative
};
// Empty when the text is neither a fix nor "No GPS".
std::optional<Position> parse_position(std::string_view text);

// The same cues as WebVTT: times with a '.', cue text escaped so the browser shows it literally.
std::string subtitles_to_webvtt(const std::vector<SubtitleEntry> &entries);
