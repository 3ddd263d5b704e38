#include "tools/tripviewer/byte_range.h"

namespace {

constexpr size_t MAX_DIGITS = 18;  // below 2^63

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool parse_number(std::string_view s, uint64_t &out) {
  if (s.empty() || s.size() > MAX_DIGITS) return false;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (uint64_t)(c - '0');
  }
  out = v;
  return true;
}

}  // namespace

ByteRange parse_byte_range(std::string_view header, uint64_t size) {
  constexpr std::string_view UNIT = "bytes=";
  const ByteRange whole;
  header = trim(header);
  if (header.substr(0, UNIT.size()) != UNIT) return whole;
  const std::string_view range_set = trim(header.substr(UNIT.size()));
  const size_t dash = range_set.find('-');
  if (range_set.find(',') != std::string_view::npos || dash == std::string_view::npos) return whole;
  const std::string_view a = trim(range_set.substr(0, dash)), b = trim(range_set.substr(dash + 1));

  ByteRange r;
  r.kind = ByteRange::PART;
  if (a.empty()) {  // the last b bytes
    uint64_t n;
    if (!parse_number(b, n)) return whole;
    if (n == 0 || size == 0) return {ByteRange::UNSATISFIABLE, 0, 0};
    r.first = n >= size ? 0 : size - n;
    r.last = size - 1;
    return r;
  }
  if (!parse_number(a, r.first)) return whole;
  if (b.empty()) {
    r.last = UINT64_MAX;
  } else if (!parse_number(b, r.last) || r.last < r.first) {
    return whole;
  }
  if (r.first >= size) return {ByteRange::UNSATISFIABLE, 0, 0};
  if (r.last >= size) r.last = size - 1;
  return r;
}
