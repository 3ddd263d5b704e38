#include "tools/tripviewer/trip_names.h"

#include <cstdlib>

namespace {

constexpr size_t STAMP_LEN = 15;  // YYYYMMDD-HHMMSS
constexpr size_t MAX_SUFFIX_DIGITS = 9;

bool all_digits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// The suffix number, 0 when there is none.
long suffix_number(std::string_view name) {
  return name.size() > STAMP_LEN ? std::strtol(std::string(name.substr(STAMP_LEN + 1)).c_str(), nullptr, 10)
                                 : 0;
}

}  // namespace

bool is_recorder_name(std::string_view name) {
  if (name.size() < STAMP_LEN) return false;
  if (!all_digits(name.substr(0, 8)) || name[8] != '-' || !all_digits(name.substr(9, 6))) return false;
  if (name.size() == STAMP_LEN) return true;
  std::string_view suffix = name.substr(STAMP_LEN);
  return suffix.size() >= 2 && suffix.size() <= MAX_SUFFIX_DIGITS + 1 && suffix[0] == '_' &&
         suffix[1] != '0' && all_digits(suffix.substr(1));
}

std::string name_display_time(std::string_view n) {
  std::string out;
  out.reserve(19);
  out.append(n.substr(0, 4)).append("-").append(n.substr(4, 2)).append("-").append(n.substr(6, 2));
  out.append(" ")
      .append(n.substr(9, 2))
      .append(":")
      .append(n.substr(11, 2))
      .append(":")
      .append(n.substr(13, 2));
  return out;
}

bool name_before(std::string_view a, std::string_view b) {
  const std::string_view sa = a.substr(0, STAMP_LEN), sb = b.substr(0, STAMP_LEN);
  if (sa != sb) return sa < sb;
  return suffix_number(a) < suffix_number(b);
}
