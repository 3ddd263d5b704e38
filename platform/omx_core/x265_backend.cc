// HEVC through libx265, set up like the H.264 backend: no lookahead, no B pictures, one frame
// thread, a sync picture at a fixed period. libx265 takes planar 4:2:0, so the interleaved
// chroma of the NV12 input is split into two planes first.

#include <cstdint>
#include <cstring>

#include <x265.h>

#include "codec_backend.h"

namespace omx_core {

namespace {

class X265Backend : public CodecBackend {
 public:
  ~X265Backend() override { close(); }

  std::string open(const CodecSettings &s) override {
    close();
    param = x265_param_alloc();
    if (!param) return "x265_param_alloc failed";
    if (x265_param_default_preset(param, "ultrafast", "zerolatency") < 0) return "unknown preset";
    param->logLevel = X265_LOG_ERROR;
    param->sourceWidth = s.width;
    param->sourceHeight = s.height;
    param->internalCsp = X265_CSP_I420;
    param->fpsNum = s.framerate_q16;
    param->fpsDenom = 1 << 16;
    param->frameNumThreads = 1;
    param->bframes = 0;
    param->lookaheadDepth = 0;
    param->scenecutThreshold = 0;
    param->keyframeMax = s.idr_period;
    param->keyframeMin = s.idr_period;
    param->bOpenGOP = 0;
    param->bAnnexB = 1;
    param->bRepeatHeaders = 0;
    param->maxNumReferences = s.ref_frames;
    param->levelIdc = s.level_idc;
    param->bHighTier = s.high_tier;
    param->bEnableLoopFilter = s.loop_filter;
    if (s.rate_control) {
      param->rc.rateControlMode = X265_RC_ABR;
      param->rc.bitrate = (int)(s.bitrate / 1000);
      // The same one-second buffer model as the H.264 component.
      param->rc.vbvMaxBitrate = s.variable_rate ? param->rc.bitrate * kVbrPeakPercent / 100 : param->rc.bitrate;
      param->rc.vbvBufferSize = param->rc.bitrate;
    } else {
      param->rc.rateControlMode = X265_RC_CRF;
      param->rc.rfConstant = 28;
    }
    if (x265_param_apply_profile(param, "main") < 0) return "profile does not fit the settings";
    enc = x265_encoder_open(param);
    if (!enc) return "x265_encoder_open failed";
    width = s.width;
    height = s.height;
    u.resize((size_t)(width / 2) * (height / 2));
    v.resize(u.size());
    submitted = false;
    return "";
  }

  void close() override {
    if (enc) x265_encoder_close(enc);
    enc = nullptr;
    if (param) x265_param_free(param);
    param = nullptr;
  }

  std::vector<uint8_t> headers() override {
    std::vector<uint8_t> out;
    x265_nal *nals;
    uint32_t n;
    if (!enc || x265_encoder_headers(enc, &nals, &n) < 0) return out;
    for (uint32_t i = 0; i < n; i++) {
      if (nals[i].type == NAL_UNIT_VPS || nals[i].type == NAL_UNIT_SPS || nals[i].type == NAL_UNIT_PPS) {
        out.insert(out.end(), nals[i].payload, nals[i].payload + nals[i].sizeBytes);
      }
    }
    return out;
  }

  bool encode(const Nv12Picture &pic, int64_t pts, std::vector<EncodedUnit> &out) override {
    const int cw = width / 2, ch = height / 2;
    for (int row = 0; row < ch; row++) {
      const uint8_t *src = pic.uv + (size_t)row * pic.stride;
      uint8_t *du = &u[(size_t)row * cw], *dv = &v[(size_t)row * cw];
      for (int x = 0; x < cw; x++) {
        du[x] = src[2 * x];
        dv[x] = src[2 * x + 1];
      }
    }
    x265_picture in;
    x265_picture_init(param, &in);
    in.colorSpace = X265_CSP_I420;
    in.bitDepth = 8;
    in.planes[0] = const_cast<uint8_t *>(pic.y);
    in.planes[1] = u.data();
    in.planes[2] = v.data();
    in.stride[0] = pic.stride;
    in.stride[1] = in.stride[2] = cw;
    in.pts = pts;
    in.sliceType = pic.force_sync ? X265_TYPE_IDR : X265_TYPE_AUTO;
    submitted = true;
    return collect(&in, out) >= 0;
  }

  bool drain(std::vector<EncodedUnit> &out) override {
    if (!enc || !submitted) return false;
    // Once flushed, libx265 takes no further pictures: the caller reopens the stream.
    while (collect(nullptr, out) > 0) {
    }
    return true;
  }

  int level_idc() const override { return param ? param->levelIdc : 0; }

 private:
  int collect(x265_picture *in, std::vector<EncodedUnit> &out) {
    x265_nal *nals;
    uint32_t n = 0;
    x265_picture pic_out;
    x265_picture_init(param, &pic_out);
    int got = x265_encoder_encode(enc, &nals, &n, in, &pic_out);
    if (got <= 0) return got;
    EncodedUnit unit;
    for (uint32_t i = 0; i < n; i++) {
      if (nals[i].type == NAL_UNIT_PREFIX_SEI || nals[i].type == NAL_UNIT_SUFFIX_SEI) continue;
      unit.data.insert(unit.data.end(), nals[i].payload, nals[i].payload + nals[i].sizeBytes);
    }
    unit.pts = pic_out.pts;
    unit.sync = pic_out.sliceType == X265_TYPE_IDR || pic_out.sliceType == X265_TYPE_I;
    out.push_back(std::move(unit));
    return got;
  }

  x265_param *param = nullptr;
  x265_encoder *enc = nullptr;
  int width = 0, height = 0;
  std::vector<uint8_t> u, v;
  bool submitted = false;
};

}  // namespace

std::unique_ptr<CodecBackend> make_x265_backend() { return std::make_unique<X265Backend>(); }

}  // namespace omx_core
