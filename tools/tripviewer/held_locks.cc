#include "tools/tripviewer/held_locks.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "common/unique_fd.h"

HeldLocks HeldLocks::read(const std::string &table) {
  UniqueFd fd(open(table.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return HeldLocks();
  std::string text;
  char buf[16384];
  while (true) {
    const ssize_t n = ::read(fd.get(), buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return HeldLocks();
    if (n == 0) break;
    text.append(buf, (size_t)n);
  }
  return parse(text);
}

HeldLocks HeldLocks::parse(const std::string &text) {
  // "<n>: FLOCK  ADVISORY  WRITE <pid> <major>:<minor>:<inode> <start> <end>"; a lock that a
  // process is waiting for has "->" after the number and is not held.
  HeldLocks locks;
  locks.readable_ = true;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, pid, file;
    if (!(fields >> number >> kind >> mode >> access >> pid >> file)) continue;
    if (kind != "FLOCK" || access != "WRITE") continue;
    const size_t colon = file.rfind(':');
    if (colon == std::string::npos) continue;
    char *end = nullptr;
    const unsigned long long ino = strtoull(file.c_str() + colon + 1, &end, 10);
    if (end != file.c_str() + file.size() || end == file.c_str() + colon + 1) continue;
    locks.inodes_.insert((ino_t)ino);
  }
  return locks;
}
