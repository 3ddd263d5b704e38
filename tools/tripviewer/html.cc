#include "tools/tripviewer/html.h"

#include <cmath>
#include <cstdio>

namespace {

std::string escape(std::string_view text, bool quotes) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '&') {
      out += "&amp;";
    } else if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else if (quotes && c == '"') {
      out += "&quot;";
    } else if (quotes && c == '\'') {
      out += "&#39;";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::string html_escape(std::string_view text) {
  return escape(text, true);
}

std::string escape_text(std::string_view text) {
  return escape(text, false);
}

std::string html_page(std::string_view title, std::string_view body, std::string_view head_extra,
                      std::string_view body_attributes) {
  std::string out =
      "<!doctype html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
      "<link rel=\"icon\" href=\"data:,\">\n<link rel=\"stylesheet\" href=\"/static/viewer.css\">\n<title>";
  out += html_escape(title);
  out += "</title>\n";
  out += head_extra;
  out += "</head>\n<body";
  if (!body_attributes.empty()) out += " " + std::string(body_attributes);
  out += ">\n";
  out += body;
  out += "</body>\n</html>\n";
  return out;
}

std::string format_duration(double seconds) {
  const long s = std::lround(std::max(0.0, seconds));
  char buf[64];
  if (s < 60) {
    snprintf(buf, sizeof(buf), "%ld s", s);
  } else if (s < 3600) {
    snprintf(buf, sizeof(buf), "%ld min %02ld s", s / 60, s % 60);
  } else {
    snprintf(buf, sizeof(buf), "%ld h %02ld min", s / 3600, s / 60 % 60);
  }
  return buf;
}

std::string format_bytes(uint64_t bytes) {
  static const char *const UNITS[] = {"kB", "MB", "GB", "TB"};
  char buf[64];
  if (bytes < 1000) {
    snprintf(buf, sizeof(buf), "%llu B", (unsigned long long)bytes);
    return buf;
  }
  double v = bytes / 1000.0;
  size_t u = 0;
  while (v >= 1000 && u + 1 < sizeof(UNITS) / sizeof(UNITS[0])) {
    v /= 1000;
    u++;
  }
  snprintf(buf, sizeof(buf), "%.1f %s", v, UNITS[u]);
  return buf;
}

std::string format_distance(double metres) {
  char buf[64];
  snprintf(buf, sizeof(buf), "%.2f mi (%.2f km)", metres / 1609.344, metres / 1000.0);
  return buf;
}
