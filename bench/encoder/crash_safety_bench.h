#pragma once

#include <string>

// Crash-safe segments against the plain writer and the fragmented alternative (CPU and bytes
// written per recorded second, same frames, same run), and recover_segment against reading the
// file once. `seconds` of recording at `speedup` times the camera's pace, in `dir` (a temporary
// directory when empty; give one on the storage to measure). 0 when every step worked.
int run_crash_safety_bench(int seconds, int speedup, std::string dir);
