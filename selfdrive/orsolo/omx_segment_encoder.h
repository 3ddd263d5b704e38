#pragma once

// A trip's encoder on the hardware OpenMAX component: H.264 at CAMERA_FPS and BITRATE, muxed
// into crash-safe MP4 segments in the trip directory (see SegmentWriter). Component faults and
// write failures come back as SegmentStatus values; nothing here aborts or waits without bound.

#include <memory>
#include <string>

#include "selfdrive/orsolo/recorder_ports.h"

class OmxEncoder;

class OmxSegmentEncoder : public SegmentEncoder {
 public:
  // The recorder's factory: null (logged) when no encoder component can be had or started.
  static std::unique_ptr<SegmentEncoder> create(const std::string &trip_dir, int width, int height);

  // Throws std::runtime_error where create() returns null.
  OmxSegmentEncoder(const std::string &trip_dir, int width, int height);
  // Closes a segment still open, then releases the component.
  ~OmxSegmentEncoder() override;

  bool open_segment(const std::string &filename) override;
  void close_segment() override;
  SegmentStatus encode_nv12(const uint8_t *y, int y_stride, const uint8_t *uv, int uv_stride, int width,
                            int height, uint64_t ts) override;

 private:
  std::unique_ptr<OmxEncoder> encoder_;
};
