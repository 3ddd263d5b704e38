#pragma once

// Which files a process holds an exclusive flock on, as the kernel's lock table (/proc/locks)
// lists them. While a recorder writes a segment it holds such a lock on the segment's lock file;
// one that stopped without closing the segment left the file there, unlocked.
//
// The viewer reads the table instead of trying the lock itself: a lock of its own, even a shared
// one tried without waiting and released at once, would in that instant make the writer's or the
// start-up recovery's non-blocking exclusive lock fail (recovery then leaves the segment for the
// next start). Reading the table takes no lock and opens nothing of the recorder's.

#include <sys/types.h>

#include <set>
#include <string>

class HeldLocks {
 public:
  // The table as it is now; readable() is false when it cannot be read.
  static HeldLocks read(const std::string &table = "/proc/locks");
  // Parses the table's text.
  static HeldLocks parse(const std::string &text);

  bool readable() const { return readable_; }
  // Whether some process holds an exclusive flock on the file with inode `ino`. The device is
  // not compared: some file systems report another device number to stat than the lock table
  // shows; a lock on a file of the same number elsewhere reads as held, which only shows a
  // stopped segment as still being recorded.
  bool exclusive_flock_on(ino_t ino) const { return inodes_.count(ino) > 0; }

 private:
  bool readable_ = false;
  std::set<ino_t> inodes_;
};
