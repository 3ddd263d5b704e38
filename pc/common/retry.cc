#include "pc/common/retry.h"

#include <unistd.h>

#include <algorithm>

#include "common/timing.h"

bool sleep_unless_exit(const ExitHandler &exit, double seconds) {
  const uint64_t end = nanos_since_boot() + (uint64_t)(std::max(seconds, 0.0) * 1e9);
  while (!exit) {
    const uint64_t now = nanos_since_boot();
    if (now >= end) return true;
    usleep((useconds_t)std::min<uint64_t>((end - now) / 1000, 50000));
  }
  return false;
}
