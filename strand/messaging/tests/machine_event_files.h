#pragma once

// Event files of a process without a TAVRIN_PREFIX live in the machine's own
// /dev/shm/strand_events, under an identifier. A test that makes some there, under an identifier
// of its own, removes them at the end, also when it fails; and the directory itself when the
// test found it missing and nothing else is in it by then (rmdir refuses a directory that is not
// empty). The tests that do this hold the CTest lock machine_event_files, so that one of them
// never removes the directory while another is making its files in it.

#include <unistd.h>

#include <filesystem>
#include <string>

class MachineEventFiles {
 public:
  explicit MachineEventFiles(const std::string &identifier)
      : made_parent_(!std::filesystem::exists(kParent)), dir_(std::string(kParent) + "/" + identifier) {}
  ~MachineEventFiles() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    if (made_parent_) rmdir(kParent);
  }
  MachineEventFiles(const MachineEventFiles &) = delete;
  MachineEventFiles &operator=(const MachineEventFiles &) = delete;

  const std::string &dir() const { return dir_; }

 private:
  static constexpr const char *kParent = "/dev/shm/strand_events";
  bool made_parent_;
  std::string dir_;
};
