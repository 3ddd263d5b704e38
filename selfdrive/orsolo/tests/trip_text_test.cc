#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "selfdrive/orsolo/trip_text.h"

namespace {

// 2024-05-01 17:03:22 UTC
constexpr time_t T0 = 1714583002;

std::string entry(int index, const std::string &a, const std::string &b, const GpsFix &gps, const std::string &utc) {
  char *buf = nullptr;
  size_t len = 0;
  FILE *f = open_memstream(&buf, &len);
  write_srt_entry(f, index, a, b, gps, utc);
  fclose(f);
  std::string out(buf, len);
  free(buf);
  return out;
}

GpsFix fix(double lat, double lon, float speed) {
  GpsFix g;
  g.has_fix = true;
  g.latitude = lat;
  g.longitude = lon;
  g.speed = speed;
  return g;
}

}  // namespace

TEST(TripText, NamesUseLocalTimeAndSubtitlesUtc) {
  setenv("TZ", "America/Los_Angeles", 1);
  tzset();
  EXPECT_EQ(make_timestamp(T0), "20240501-100322");
  EXPECT_EQ(make_utc_timestamp(T0), "2024-05-01 17:03:22 UTC");
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(make_timestamp(T0), "20240501-170322");
  EXPECT_EQ(make_timestamp(0), "19700101-000000");
  EXPECT_EQ(make_utc_timestamp(T0 + 86400 * 245 + 3600 * 7), "2025-01-02 00:03:22 UTC");
}

TEST(TripText, SrtTimeCountsWholeSeconds) {
  const std::pair<int, const char *> cases[] = {
      {0, "00:00:00,000"},    {1, "00:00:01,000"},    {59, "00:00:59,000"},  {60, "00:01:00,000"},
      {3599, "00:59:59,000"}, {3600, "01:00:00,000"}, {3661, "01:01:01,000"}, {359999, "99:59:59,000"},
  };
  for (auto &[sec, text] : cases) EXPECT_EQ(srt_time(sec), text) << sec;
}

TEST(TripText, EntryBytesForEveryHemisphereAndNoFix) {
  const std::string a = "00:00:00,000", b = "00:00:01,000", utc = "2024-05-01 17:03:22 UTC";
  struct Case {
    GpsFix gps;
    std::string third_line;
  } cases[] = {
      {fix(37.7749, -122.4194, 35 / 2.23694), "35 MPH | 37.7749\xc2\xb0N 122.4194\xc2\xb0W | " + utc},
      {fix(-33.8688, 151.2093, 0.2f), "0 MPH | 33.8688\xc2\xb0S 151.2093\xc2\xb0" "E | " + utc},
      {fix(0.0, 0.0, 10.0f), "22 MPH | 0.0000\xc2\xb0N 0.0000\xc2\xb0" "E | " + utc},
      {fix(-0.00004, -0.00004, 0), "0 MPH | 0.0000\xc2\xb0S 0.0000\xc2\xb0W | " + utc},
      {fix(51.5, 0.1278, 100.0f), "224 MPH | 51.5000\xc2\xb0N 0.1278\xc2\xb0" "E | " + utc},
      {GpsFix{}, "No GPS | " + utc},
  };
  for (auto &c : cases) {
    EXPECT_EQ(entry(1, a, b, c.gps, utc), "1\n00:00:00,000 --> 00:00:01,000\n" + c.third_line + "\n\n");
  }
  // Without a fix the position fields are not used, whatever they hold.
  GpsFix stale = fix(12.0, 34.0, 5.0f);
  stale.has_fix = false;
  EXPECT_EQ(entry(7, "00:00:06,000", "00:00:07,000", stale, utc),
            "7\n00:00:06,000 --> 00:00:07,000\nNo GPS | 2024-05-01 17:03:22 UTC\n\n");
}
