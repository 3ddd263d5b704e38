#pragma once

// Stand-ins for the recorder's collaborators so the trip logic can be driven frame by frame:
// a hand-moved clock, an encoder that writes real (tiny) segment and lock files and records
// what it was asked to do, scripted car inputs and a shutdown key.

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "selfdrive/orsolo/recorder_ports.h"

class ManualClock : public RecorderClock {
 public:
  // Boot clock at 1000 s, wall clock at 2024-05-01 17:03:22 UTC.
  uint64_t boot_ns = 1000ULL * 1000000000ULL;
  time_t wall0 = 1714583002;

  uint64_t nanos_since_boot() override { return boot_ns; }
  time_t wall_time() override { return wall0 + (time_t)((boot_ns - 1000ULL * 1000000000ULL) / 1000000000ULL); }
  void advance(double seconds) { boot_ns += (uint64_t)(seconds * 1e9 + 0.5); }
  double boot_seconds() const { return boot_ns / 1e9; }
};

// What every encoder of a test did, in order, and the faults the test makes them show.
struct EncoderJournal {
  std::vector<std::string> events;             // "create <dir>", "open <file>", "close <file>", "destroy"
  std::map<std::string, int> frames;           // segment path -> frames encoded into it
  std::vector<uint64_t> timestamps;            // ts of every frame taken
  std::vector<std::pair<int, int>> sizes;      // width and height of every encoder made
  int live_encoders = 0;

  bool refuse_open = false;                    // open_segment fails and makes no file
  SegmentStatus status = SegmentStatus::OK;    // what encode_nv12 answers; a frame not OK is not taken
  int write_fails_after = -1;                  // >= 0: a segment takes this many frames, then WRITE_FAILED
};

class JournalEncoder : public SegmentEncoder {
 public:
  JournalEncoder(EncoderJournal &j, std::string dir) : j_(j), dir_(std::move(dir)) {
    j_.events.push_back("create " + dir_);
    j_.live_encoders++;
  }
  ~JournalEncoder() override {
    j_.events.push_back("destroy");
    j_.live_encoders--;
  }
  bool open_segment(const std::string &filename) override {
    if (j_.refuse_open) {
      j_.events.push_back("refused " + filename);
      return false;
    }
    path_ = dir_ + "/" + filename;
    j_.events.push_back("open " + filename);
    j_.frames[path_] = 0;
    write_file(path_, "");
    write_file(path_ + ".lock", "");
    return true;
  }
  void close_segment() override {
    if (path_.empty()) {
      j_.events.push_back("close without a segment");
      return;
    }
    j_.events.push_back("close " + path_.substr(dir_.size() + 1));
    // The finalised segment records its frame count, so a later truncation would show.
    write_file(path_, "frames=" + std::to_string(j_.frames[path_]));
    unlink((path_ + ".lock").c_str());
    path_.clear();
  }
  SegmentStatus encode_nv12(const uint8_t *, int, const uint8_t *, int, int, int, uint64_t ts) override {
    if (path_.empty()) {  // the recorder never encodes without a segment
      j_.events.push_back("encode without a segment");
      return SegmentStatus::OK;
    }
    if (j_.status != SegmentStatus::OK) return j_.status;
    if (j_.write_fails_after >= 0 && j_.frames[path_] >= j_.write_fails_after) return SegmentStatus::WRITE_FAILED;
    j_.timestamps.push_back(ts);
    j_.frames[path_]++;
    return SegmentStatus::OK;
  }

 private:
  static void write_file(const std::string &path, const std::string &content) {
    FILE *f = fopen(path.c_str(), "w");
    if (!f) return;
    fputs(content.c_str(), f);
    fclose(f);
  }
  EncoderJournal &j_;
  std::string dir_;
  std::string path_;
};

class ScriptedInputs : public CarInputs {
 public:
  bool device_state_received = true;  // false: ignition reads as "no message yet"
  bool ignition = false;
  bool drive = false;
  GpsFix fix;
  int updates = 0;

  void update() override { updates++; }
  bool started() override { return device_state_received && ignition; }
  bool ignition_known() override { return device_state_received; }
  bool in_drive() override { return drive; }
  GpsFix gps() override { return fix; }
};

class FlagShutdownKey : public ShutdownKey {
 public:
  bool value = false;
  int reads = 0;
  int acks = 0;
  bool requested() override {
    reads++;
    return value;
  }
  void acknowledge() override {
    acks++;
    value = false;
  }
};
