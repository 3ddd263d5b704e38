#include "tools/tripviewer/subtitles.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "tools/tripviewer/html.h"

namespace {

constexpr std::string_view DEGREE = "\xc2\xb0";
constexpr std::string_view ARROW = " --> ";

struct Line {
  std::string_view text;
  bool terminated;  // ended by '\n' rather than by the end of the file
};

std::vector<Line> split_lines(std::string_view file) {
  std::vector<Line> lines;
  size_t pos = 0;
  while (pos < file.size()) {
    size_t nl = file.find('\n', pos);
    bool terminated = nl != std::string_view::npos;
    if (!terminated) nl = file.size();
    std::string_view line = file.substr(pos, nl - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back({line, terminated});
    pos = nl + 1;
  }
  return lines;
}

bool parse_uint(std::string_view s, long &out) {
  if (s.empty() || s.size() > 9) return false;
  long v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  out = v;
  return true;
}

// "HH:MM:SS,mmm" (hours of any width).
bool parse_time(std::string_view s, long &ms) {
  const size_t c1 = s.find(':');
  if (c1 == std::string_view::npos || s.size() != c1 + 10) return false;
  if (s[c1 + 3] != ':' || s[c1 + 6] != ',') return false;
  long h, m, sec, milli;
  if (!parse_uint(s.substr(0, c1), h) || !parse_uint(s.substr(c1 + 1, 2), m) ||
      !parse_uint(s.substr(c1 + 4, 2), sec) || !parse_uint(s.substr(c1 + 7, 3), milli)) {
    return false;
  }
  if (m > 59 || sec > 59) return false;
  ms = ((h * 60 + m) * 60 + sec) * 1000 + milli;
  return true;
}

bool parse_span(std::string_view s, long &start, long &end) {
  const size_t arrow = s.find(ARROW);
  return arrow != std::string_view::npos && parse_time(s.substr(0, arrow), start) &&
         parse_time(s.substr(arrow + ARROW.size()), end) && start <= end;
}

// Consumes a decimal number at the front of `s` (the C locale's form, whatever the process's).
bool take_number(std::string_view &s, double &out) {
  const auto [end, err] = std::from_chars(s.data(), s.data() + s.size(), out, std::chars_format::fixed);
  if (err != std::errc() || !std::isfinite(out)) return false;
  s.remove_prefix(end - s.data());
  return true;
}

bool take(std::string_view &s, std::string_view word) {
  if (s.substr(0, word.size()) != word) return false;
  s.remove_prefix(word.size());
  return true;
}

// "37.7749°N" or "122.4194°W" into signed degrees.
bool take_coordinate(std::string_view &s, char positive, char negative, double limit, double &out) {
  double v;
  if (!take_number(s, v) || v < 0 || v > limit || !take(s, DEGREE) || s.empty()) return false;
  if (s[0] != positive && s[0] != negative) return false;
  out = s[0] == positive ? v : -v;
  s.remove_prefix(1);
  return true;
}

std::string vtt_time(long ms) {
  char buf[32];
  snprintf(buf, sizeof(buf), "%02ld:%02ld:%02ld.%03ld", ms / 3600000, ms / 60000 % 60, ms / 1000 % 60,
           ms % 1000);
  return buf;
}

}  // namespace

std::vector<SubtitleEntry> parse_subtitles(std::string_view file) {
  const std::vector<Line> lines = split_lines(file);
  std::vector<SubtitleEntry> entries;
  size_t i = 0;
  while (i < lines.size()) {
    SubtitleEntry e;
    long index;
    if (i + 2 >= lines.size() || !parse_uint(lines[i].text, index) ||
        !parse_span(lines[i + 1].text, e.start_ms, e.end_ms)) {
      i++;  // not the start of an entry: look at the next line
      continue;
    }
    e.index = (int)index;
    size_t j = i + 2;
    bool complete = false;
    for (; j < lines.size() && !lines[j].text.empty(); j++) {
      if (!e.text.empty()) e.text += '\n';
      e.text.append(lines[j].text);
      complete = lines[j].terminated;
    }
    if (complete) entries.push_back(std::move(e));
    i = j;
  }
  return entries;
}

std::optional<Position> parse_position(std::string_view s) {
  Position p;
  if (take(s, "No GPS | ")) return p;
  double mph;
  if (!take_number(s, mph) || mph != std::floor(mph) || std::fabs(mph) > 100000 || !take(s, " MPH | ")) {
    return std::nullopt;
  }
  if (!take_coordinate(s, 'N', 'S', 90, p.lat) || !take(s, " ") ||
      !take_coordinate(s, 'E', 'W', 180, p.lon) || !take(s, " | ")) {
    return std::nullopt;
  }
  p.has_fix = true;
  p.mph = (int)mph;
  return p;
}

std::string subtitles_to_webvtt(const std::vector<SubtitleEntry> &entries) {
  std::string out = "WEBVTT\n\n";
  for (const SubtitleEntry &e : entries) {
    out += std::to_string(e.index) + "\n" + vtt_time(e.start_ms) + " --> " + vtt_time(e.end_ms) + "\n";
    out += escape_text(e.text);
    out += "\n\n";
  }
  return out;
}
