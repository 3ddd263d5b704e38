#pragma once

// A small tmpfs of its own for a test that needs a file system to fill up. Mounting needs root
// (or CAP_SYS_ADMIN); where it is not allowed, mounted() is false and error() says why, and the
// test skips. The mount goes with the object, also when the test fails (lazily, should a process
// still hold a file in it).

#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

class TmpfsMount {
 public:
  // Mounts a tmpfs of `size_bytes` on `dir`, made first when it is missing.
  TmpfsMount(const std::string &dir, size_t size_bytes) : dir_(dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
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

// Declares `var`, a TmpfsMount of `size_bytes` on `dir`, or skips the test where mounting is not
// allowed.
#define MOUNT_TMPFS_OR_SKIP(var, dir, size_bytes)                                                         \
  TmpfsMount var(dir, size_bytes);                                                                        \
  if (!var.mounted()) GTEST_SKIP() << "this machine does not let the test mount a tmpfs (" << var.error() \
                                   << "); the small-file-system tests need root or CAP_SYS_ADMIN"
