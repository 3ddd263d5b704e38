#include "selfdrive/orsolo/omx_segment_encoder.h"

#include "selfdrive/orsolo/recorder_config.h"
#include "selfdrive/pendrel/screenrecorder/omx_encoder.h"

OmxSegmentEncoder::OmxSegmentEncoder(const std::string &trip_dir, int width, int height)
    : encoder_(std::make_unique<OmxEncoder>(trip_dir.c_str(), width, height, CAMERA_FPS, BITRATE, false, false)) {}

OmxSegmentEncoder::~OmxSegmentEncoder() = default;

bool OmxSegmentEncoder::open_segment(const std::string &filename) {
  encoder_->encoder_open(filename.c_str());
  return true;
}

void OmxSegmentEncoder::close_segment() { encoder_->encoder_close(); }

SegmentStatus OmxSegmentEncoder::encode_nv12(const uint8_t *y, int y_stride, const uint8_t *uv, int uv_stride,
                                             int width, int height, uint64_t ts) {
  encoder_->encode_frame_nv12(y, y_stride, uv, uv_stride, width, height, ts);
  return SegmentStatus::OK;
}
