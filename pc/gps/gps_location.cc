#include "pc/gps/gps_location.h"

#include <cmath>

namespace {

bool known(double v) {
  return std::isfinite(v);
}

// A value to publish: gpsd's when it knows it and it is plausible, else 0.
float plausible(double v, double min, double max) {
  return known(v) && v >= min && v <= max ? (float)v : 0.0f;
}

}  // namespace

bool fill_gps_location(const gps_fix_t &fix, int satellites_used, strand::GpsLocationData::Builder out) {
  out.setSource(strand::GpsLocationData::SensorSource::EXTERNAL);
  if (fix.time.tv_sec > 0)
    out.setUnixTimestampMillis((int64_t)fix.time.tv_sec * 1000 + fix.time.tv_nsec / 1000000);
  const bool has_fix = fix.mode >= MODE_2D && known(fix.latitude) && known(fix.longitude) &&
                       std::fabs(fix.latitude) <= 90 && std::fabs(fix.longitude) <= 180;
  out.setHasFix(has_fix);
  if (!has_fix) return false;

  out.setLatitude(fix.latitude);
  out.setLongitude(fix.longitude);
  out.setSpeed(plausible(fix.speed, 0, 1000));
  out.setBearingDeg(plausible(fix.track, 0, 360));
  if (fix.mode >= MODE_3D)
    out.setAltitude(known(fix.altMSL) ? fix.altMSL : known(fix.altHAE) ? fix.altHAE : 0);
  out.setVerticalSpeed(fix.mode >= MODE_3D ? plausible(fix.climb, -1000, 1000) : 0.0f);
  out.setHorizontalAccuracy(plausible(fix.eph, 0, 1e7));
  out.setVerticalAccuracy(plausible(fix.epv, 0, 1e7));
  out.setBearingAccuracyDeg(plausible(fix.epd, 0, 360));
  out.setSpeedAccuracy(plausible(fix.eps, 0, 1000));
  if (known(fix.NED.velN) && known(fix.NED.velE) && known(fix.NED.velD)) {
    auto v = out.initVNED(3);
    v.set(0, (float)fix.NED.velN);
    v.set(1, (float)fix.NED.velE);
    v.set(2, (float)fix.NED.velD);
  }
  if (satellites_used > 0 && satellites_used < 256) out.setSatelliteCount((uint8_t)satellites_used);
  return true;
}
