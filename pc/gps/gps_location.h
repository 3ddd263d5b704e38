#pragma once

// One gpsd position report (TPV) as the gpsLocation message the recorder reads. A report
// counts as a fix only when gpsd says 2D or 3D and its position is a real place: anything
// else (no fix, NaN, out of range) is published with hasFix false. Values gpsd does not know
// (NaN) are left at 0.

#include <gps.h>

#include "strand/gen/cpp/log.capnp.h"

// Fills `out` from the report; returns whether it is a fix.
bool fill_gps_location(const gps_fix_t &fix, int satellites_used, strand::GpsLocationData::Builder out);
