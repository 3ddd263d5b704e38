#pragma once

#include <cstdint>
#include <ctime>

// CLOCK_BOOTTIME in nanoseconds: every timer of the system runs on it.
inline uint64_t nanos_since_boot() {
  struct timespec t;
  clock_gettime(CLOCK_BOOTTIME, &t);
  return t.tv_sec * 1000000000ULL + t.tv_nsec;
}

inline double millis_since_boot() { return nanos_since_boot() * 1e-6; }

// CLOCK_REALTIME in seconds: only names files and stamps subtitles and log records.
inline double seconds_since_epoch() {
  struct timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return (double)t.tv_sec + t.tv_nsec * 1e-9;
}
