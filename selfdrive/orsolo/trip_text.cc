#include "selfdrive/orsolo/trip_text.h"

#include <cmath>

namespace {

// Miles per hour in one metre per second.
constexpr double MPS_TO_MPH = 2.23694;
// UTF-8 degree sign (C2 B0), written directly before the hemisphere letter.
constexpr const char *DEGREE = "\xc2\xb0";

}  // namespace

std::string make_timestamp(time_t t) {
  struct tm tm;
  localtime_r(&t, &tm);
  char buf[64];
  snprintf(buf, sizeof(buf), "%04d%02d%02d-%02d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
           tm.tm_min, tm.tm_sec);
  return buf;
}

std::string make_timestamp() { return make_timestamp(time(nullptr)); }

std::string make_utc_timestamp(time_t t) {
  struct tm tm;
  gmtime_r(&t, &tm);
  char buf[64];  // roomy enough for any year, so the text is never cut
  snprintf(buf, sizeof(buf), "%04d-%02d-%02d %02d:%02d:%02d UTC", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
           tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

std::string make_utc_timestamp() { return make_utc_timestamp(time(nullptr)); }

std::string srt_time(int seconds) {
  char buf[32];  // roomy enough for any count of hours
  snprintf(buf, sizeof(buf), "%02d:%02d:%02d,000", seconds / 3600, (seconds % 3600) / 60, seconds % 60);
  return buf;
}

void write_srt_entry(FILE *f, int index, const std::string &t_start, const std::string &t_end, const GpsFix &gps,
                     const std::string &utc) {
  if (gps.has_fix) {
    fprintf(f, "%d\n%s --> %s\n%.0f MPH | %.4f%s%c %.4f%s%c | %s\n\n", index, t_start.c_str(), t_end.c_str(),
            gps.speed * MPS_TO_MPH, std::fabs(gps.latitude), DEGREE, gps.latitude >= 0 ? 'N' : 'S',
            std::fabs(gps.longitude), DEGREE, gps.longitude >= 0 ? 'E' : 'W', utc.c_str());
  } else {
    fprintf(f, "%d\n%s --> %s\nNo GPS | %s\n\n", index, t_start.c_str(), t_end.c_str(), utc.c_str());
  }
}
