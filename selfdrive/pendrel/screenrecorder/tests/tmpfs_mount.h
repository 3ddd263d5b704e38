#pragma once

// A small tmpfs of its own for a test that needs a file system to fill up. Mounting needs root
// (or CAP_SYS_ADMIN); where it is not allowed, mounted() is false and error() says why, and the
// test skips. The mount goes with the object, also when the test fails.

#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

class TmpfsMount {
 public:
  // Mounts a tmpfs of `size_bytes` on the existing directory `dir`.
  TmpfsMount(const std::string &dir, size_t size_bytes) : dir_(dir) {
    const std::string options = "size=" + std::to_string(size_bytes) + ",mode=0755";
    if (mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0) {
      mounted_ = true;
    } else {
      error_ = std::string("mount -t tmpfs -o ") + options + " " + dir + ": " + strerror(errno);
    }
  }
  ~TmpfsMount() {
    if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
  }
  TmpfsMount(const TmpfsMount &) = delete;
  TmpfsMount &operator=(const TmpfsMount &) = delete;

  bool mounted() const { return mounted_; }
  const std::string &error() const { return error_; }

 private:
  std::string dir_;
  bool mounted_ = false;
  std::string error_;
};
