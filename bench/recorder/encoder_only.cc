// The encoder alone, fed the frames the simulator sends: paints frames 0 .. N-1 at the given
// size, hands every second one to a trip encoder as the recorder does (10 frames/s stamps) and
// reports the process's CPU seconds minus the painting's.
//
// Usage: encoder_only <dir> <width> <height> <frames>
// Prints: frames_encoded=<n> cpu_s=<encoder CPU seconds> paint_cpu_s=<s> wall_s=<s>

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "selfdrive/orsolo/omx_segment_encoder.h"
#include "tools/simulator/frame_painter.h"

namespace {

double cpu_seconds(int who) {
  struct rusage ru;
  getrusage(who, &ru);
  return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

}  // namespace

int main(int argc, char *argv[]) {
  if (argc != 5) {
    fprintf(stderr, "usage: encoder_only <dir> <width> <height> <frames>\n");
    return 2;
  }
  const char *dir = argv[1];
  const int width = atoi(argv[2]), height = atoi(argv[3]);
  const int frames = atoi(argv[4]);
  std::vector<uint8_t> nv12((size_t)width * height * 3 / 2);

  const double cpu0 = cpu_seconds(RUSAGE_SELF);
  const auto wall0 = std::chrono::steady_clock::now();
  double paint = 0;
  int encoded = 0;
  {
    OmxSegmentEncoder encoder(dir, width, height);
    encoder.open_segment("encoder_only.mp4");
    for (int i = 0; i < frames; i++) {
      const double p0 = cpu_seconds(RUSAGE_THREAD);
      paint_frame(nv12.data(), nv12.data() + (size_t)width * height, width, height, width, i, i / 20.0);
      paint += cpu_seconds(RUSAGE_THREAD) - p0;
      if (i % 2 == 0) continue;  // the recorder keeps every second frame
      encoder.encode_nv12(nv12.data(), width, nv12.data() + (size_t)width * height, width, width, height,
                          (uint64_t)(encoded + 1) * 100000000ULL);
      encoded++;
    }
    encoder.close_segment();
  }
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  printf("frames_encoded=%d cpu_s=%.3f paint_cpu_s=%.3f wall_s=%.3f\n", encoded, cpu_seconds(RUSAGE_SELF) - cpu0 - paint,
         paint, wall);
  return 0;
}
