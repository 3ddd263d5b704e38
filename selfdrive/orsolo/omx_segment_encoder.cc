#include "selfdrive/orsolo/omx_segment_encoder.h"

#include <stdexcept>

#include "selfdrive/orsolo/recorder_config.h"
#include "selfdrive/pendrel/screenrecorder/omx_encoder.h"

std::unique_ptr<SegmentEncoder> OmxSegmentEncoder::create(const std::string &trip_dir, int width,
                                                          int height) {
  try {
    return std::make_unique<OmxSegmentEncoder>(trip_dir, width, height);
  } catch (const std::runtime_error &) {
    return nullptr;  // the encoder has logged why
  }
}

OmxSegmentEncoder::OmxSegmentEncoder(const std::string &trip_dir, int width, int height)
    : encoder_(
          std::make_unique<OmxEncoder>(trip_dir.c_str(), width, height, CAMERA_FPS, BITRATE, false, false)) {}

OmxSegmentEncoder::~OmxSegmentEncoder() {
  encoder_->encoder_close();
}

bool OmxSegmentEncoder::open_segment(const std::string &filename) {
  return encoder_->encoder_open(filename.c_str());
}

void OmxSegmentEncoder::close_segment() {
  encoder_->encoder_close();
}

SegmentStatus OmxSegmentEncoder::encode_nv12(const uint8_t *y, int y_stride, const uint8_t *uv, int uv_stride,
                                             int width, int height, uint64_t ts) {
  encoder_->encode_frame_nv12(y, y_stride, uv, uv_stride, width, height, ts);
  if (encoder_->component_failed()) return SegmentStatus::ENCODER_FAILED;
  // Refused for want of an open segment: the segment cannot be written either.
  if (encoder_->write_failed() || !encoder_->is_open) return SegmentStatus::WRITE_FAILED;
  return SegmentStatus::OK;  // taken, or dropped for an exit request
}
