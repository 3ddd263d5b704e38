#include "selfdrive/orsolo/footage_names.h"

#include <cctype>
#include <cstdlib>

namespace {

constexpr size_t STAMP_LENGTH = 15;  // "YYYYMMDD-HHMMSS"

bool all_digits(const std::string &s, size_t from, size_t to) {
  for (size_t i = from; i < to; i++) {
    if (!isdigit((unsigned char)s[i])) return false;
  }
  return true;
}

bool starts_with_stamp(const std::string &s) {
  return s.size() >= STAMP_LENGTH && all_digits(s, 0, 8) && s[8] == '-' && all_digits(s, 9, STAMP_LENGTH);
}

// The N of "_N", 0 for a bare timestamp.
unsigned long long clash_number(const std::string &base) {
  return base.size() > STAMP_LENGTH ? strtoull(base.c_str() + STAMP_LENGTH + 1, nullptr, 10) : 0;
}

}  // namespace

bool is_trip_name(const std::string &name) { return name.size() == STAMP_LENGTH && starts_with_stamp(name); }

bool is_segment_base(const std::string &base) {
  if (!starts_with_stamp(base)) return false;
  if (base.size() == STAMP_LENGTH) return true;
  return base.size() > STAMP_LENGTH + 1 && base[STAMP_LENGTH] == '_' && all_digits(base, STAMP_LENGTH + 1, base.size());
}

std::string segment_base_of(const std::string &file, const std::string &suffix) {
  if (file.size() <= suffix.size() || file.compare(file.size() - suffix.size(), suffix.size(), suffix) != 0) return "";
  std::string base = file.substr(0, file.size() - suffix.size());
  return is_segment_base(base) ? base : "";
}

bool segment_base_less(const std::string &a, const std::string &b) {
  const int by_time = a.compare(0, STAMP_LENGTH, b, 0, STAMP_LENGTH);
  if (by_time != 0) return by_time < 0;
  return clash_number(a) < clash_number(b);
}
