#pragma once

// NMEA logs for gpsfake to replay: one epoch a second, as a receiver sends it (RMC with the
// position, speed, course and date; GGA with the fix quality, satellites and altitude), on
// 1 May 2024 from 12:00:00 UTC.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

namespace pc_test {

constexpr int64_t NMEA_LOG_START_MS = 1714564800000;  // 2024-05-01 12:00:00 UTC

struct NmeaEpoch {
  bool fix;
  double lat, lon;  // degrees
  double knots, track, altitude;
};

// "$<body>*<checksum>\r\n"
inline std::string nmea_sentence(const std::string &body) {
  int sum = 0;
  for (char c : body) sum ^= (unsigned char)c;
  char tail[8];
  snprintf(tail, sizeof(tail), "*%02X\r\n", sum);
  return "$" + body + tail;
}

// "ddmm.mmmmm,N" for latitudes, "dddmm.mmmmm,E" for longitudes.
inline std::string nmea_angle(double degrees, bool latitude) {
  const double a = std::fabs(degrees);
  const int whole = (int)a;
  char text[32];
  snprintf(text, sizeof(text), latitude ? "%02d%08.5f,%c" : "%03d%08.5f,%c", whole, (a - whole) * 60,
           latitude ? (degrees >= 0 ? 'N' : 'S') : (degrees >= 0 ? 'E' : 'W'));
  return text;
}

// The epoch `second` seconds after the start (within the hour).
inline std::string nmea_epoch(int second, const NmeaEpoch &e) {
  char time[24];
  snprintf(time, sizeof(time), "12%02d%02d.00", second / 60, second % 60);
  if (!e.fix) {
    return nmea_sentence(std::string("GPRMC,") + time + ",V,,,,,,,010524,,") +
           nmea_sentence(std::string("GPGGA,") + time + ",,,,,0,00,,,M,,M,,");
  }
  const std::string position = nmea_angle(e.lat, true) + "," + nmea_angle(e.lon, false);
  char rmc[160], gga[160];
  snprintf(rmc, sizeof(rmc), "GPRMC,%s,A,%s,%.1f,%.1f,010524,,", time, position.c_str(), e.knots, e.track);
  snprintf(gga, sizeof(gga), "GPGGA,%s,%s,1,08,0.9,%.1f,M,0.0,M,,", time, position.c_str(), e.altitude);
  return nmea_sentence(rmc) + nmea_sentence(gga);
}

}  // namespace pc_test
