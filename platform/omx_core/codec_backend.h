#pragma once

// The software codec behind one encoder component. The component owns the OpenMAX side (ports,
// buffers, states, callbacks); a backend only turns NV12 pictures into Annex-B access units.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace omx_core {

// Where the planes of one input picture sit inside an input buffer.
struct Nv12Picture {
  const uint8_t *y;
  const uint8_t *uv;  // interleaved U, V
  int stride;         // bytes per row of both planes
  bool force_sync = false;  // start a new sequence with this picture (IDR)
};

// Settings fixed when the component leaves the loaded state.
struct CodecSettings {
  int width = 0;
  int height = 0;
  uint32_t framerate_q16 = 0;  // frames per second, Q16
  uint32_t bitrate = 0;        // bits per second
  bool variable_rate = true;   // false: constant bit rate (tight buffer)
  bool rate_control = true;    // false: constant quality
  int idr_period = 30;         // frames from one sync frame to the next
  int ref_frames = 1;
  int profile = 0;             // codec's own profile number (AVC: 66/77/100, HEVC: 1)
  int level_idc = 0;           // codec's own level number (AVC: 31 = 3.1, HEVC: 50 = 5)
  bool high_tier = false;      // HEVC only
  bool cabac = true;           // AVC only
  bool transform_8x8 = true;   // AVC only
  bool loop_filter = true;
  bool weighted_p = false;
  bool constrained_intra = false;
  bool satd = true;            // Hadamard-transformed cost in motion search
};

struct EncodedUnit {
  std::vector<uint8_t> data;  // Annex-B NAL units
  int64_t pts = 0;
  bool sync = false;
};

class CodecBackend {
 public:
  virtual ~CodecBackend() = default;
  // Starts a fresh stream. Returns an error text, empty on success.
  virtual std::string open(const CodecSettings &s) = 0;
  virtual void close() = 0;
  // The stream's parameter sets (no SEI), valid after open().
  virtual std::vector<uint8_t> headers() = 0;
  // Encodes one picture and appends whatever the codec outputs. False on codec failure.
  virtual bool encode(const Nv12Picture &pic, int64_t pts, std::vector<EncodedUnit> &out) = 0;
  // Appends every picture still held by the codec; afterwards the stream must be reopened.
  // Returns false when nothing was held (the stream can go on as it is).
  virtual bool drain(std::vector<EncodedUnit> &out) = 0;
  // The level actually signalled in the stream (codec's own number).
  virtual int level_idc() const = 0;
};

// Peak rate of variable rate control, in percent of the target (both codecs).
constexpr int kVbrPeakPercent = 150;

std::unique_ptr<CodecBackend> make_x264_backend();
std::unique_ptr<CodecBackend> make_x265_backend();

// Lowest AVC level (x10: 31 = 3.1) not below `requested` that fits the frame size, rate and bit rate.
int avc_level_for(int requested, int width, int height, double fps, uint32_t bitrate, bool high_profile);

}  // namespace omx_core
