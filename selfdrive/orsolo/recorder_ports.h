#pragma once

// The recorder's view of the world around it: the clocks, the encoder of a trip, the car's
// inputs and the shutdown key. `main` plugs in the real ones (boot and wall clock, OmxEncoder,
// SubMaster, Params); the trip logic sees only these small interfaces, so it can be driven
// frame by frame without a camera.

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

#include "selfdrive/orsolo/trip_text.h"

class RecorderClock {
 public:
  virtual ~RecorderClock() = default;
  // CLOCK_BOOTTIME in nanoseconds: every timer of the recorder.
  virtual uint64_t nanos_since_boot() = 0;
  // Wall-clock seconds: only names files and stamps subtitles.
  virtual time_t wall_time() = 0;
};

class SystemClock : public RecorderClock {
 public:
  uint64_t nanos_since_boot() override;
  time_t wall_time() override;
};

// What became of a frame handed to a segment encoder.
enum class SegmentStatus {
  OK,              // the frame was taken
  WRITE_FAILED,    // the segment's file can no longer be written (no space, I/O error); the encoder
                   // stays usable: close the segment, then open another when there is room
  ENCODER_FAILED,  // the encoder component stopped working; close the segment (it keeps what it
                   // can) and destroy the encoder
};

// One trip's encoder: segments are opened and closed one after another in the trip directory
// given at creation; the encoder itself lives as long as the trip. No call aborts, and every
// call, the destructor included, returns within a bounded time even when the component has failed.
class SegmentEncoder {
 public:
  virtual ~SegmentEncoder() = default;
  // Starts `filename` (relative to the trip directory) and its lock file. false when the file
  // cannot be made (no space, I/O error); the encoder logs why.
  virtual bool open_segment(const std::string &filename) = 0;
  // Finalises the open segment and removes its lock file. After a write failure or an encoder
  // fault it finishes what it can: the segment stays playable with every frame that reached the disk.
  virtual void close_segment() = 0;
  // `ts` is in nanoseconds since the segment was opened.
  virtual SegmentStatus encode_nv12(const uint8_t *y, int y_stride, const uint8_t *uv, int uv_stride, int width,
                                    int height, uint64_t ts) = 0;
};

// Makes a trip's encoder; null (logged by the encoder) when no encoder component can be had.
using EncoderFactory =
    std::function<std::unique_ptr<SegmentEncoder>(const std::string &trip_dir, int width, int height)>;

// Ignition, gear and position, as last received. A topic whose last message could not be read
// (not an Event, or an Event of another kind) reads as if nothing had been received.
class CarInputs {
 public:
  virtual ~CarInputs() = default;
  // Takes in whatever has arrived, without waiting; called once per processed frame.
  virtual void update() = 0;
  virtual bool started() = 0;
  // A readable deviceState message has been received, so started() reads it rather than the
  // default of a topic that has said nothing yet.
  virtual bool ignition_known() = 0;
  virtual bool in_drive() = 0;
  virtual GpsFix gps() = 0;
};

// The "DashcamShutdown" request key.
class ShutdownKey {
 public:
  virtual ~ShutdownKey() = default;
  virtual bool requested() = 0;
  // Writes the acknowledgement ("0").
  virtual void acknowledge() = 0;
};
