#pragma once

// What a process has spent so far: CPU time (every thread) and bytes handed to write calls.

#include <sys/resource.h>

#include <cstdint>
#include <fstream>
#include <string>

inline double cpu_seconds(const rusage &ru) {
  return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

inline double self_cpu() {
  rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return cpu_seconds(ru);
}

// Bytes this process has passed to write(2) and its kin ("wchar" of /proc/self/io).
inline int64_t self_written_bytes() {
  std::ifstream io("/proc/self/io");
  std::string key;
  int64_t value;
  while (io >> key >> value) {
    if (key == "wchar:") return value;
  }
  return -1;
}
