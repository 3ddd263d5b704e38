// H.264 through libx264, tuned to behave like a hardware block: one picture in, its access unit
// out at once (no lookahead, no B pictures, one thread), a sync picture at a fixed period.

#include <cstdint>
#include <cstring>

extern "C" {
#include <x264.h>
}

#include "codec_backend.h"

namespace omx_core {

namespace {

struct AvcLevelLimit {
  int idc;
  long max_mbps;  // macroblocks per second
  long max_fs;    // macroblocks per frame
  long max_br;    // kbit/s for Baseline/Main (High allows 5/4 of it)
};

constexpr AvcLevelLimit kAvcLevels[] = {
    {10, 1485, 99, 64},         {11, 3000, 396, 192},       {12, 6000, 396, 384},       {13, 11880, 396, 768},
    {20, 11880, 396, 2000},     {21, 19800, 792, 4000},     {22, 20250, 1620, 4000},    {30, 40500, 1620, 10000},
    {31, 108000, 3600, 14000},  {32, 216000, 5120, 20000},  {40, 245760, 8192, 20000},  {41, 245760, 8192, 50000},
    {42, 522240, 8704, 50000},  {50, 589824, 22080, 135000}, {51, 983040, 36864, 240000}, {52, 2073600, 36864, 240000},
};

class X264Backend : public CodecBackend {
 public:
  ~X264Backend() override { close(); }

  std::string open(const CodecSettings &s) override {
    close();
    x264_param_t p;
    if (x264_param_default_preset(&p, "veryfast", nullptr) < 0) return "unknown preset";
    p.i_log_level = X264_LOG_ERROR;
    p.i_width = s.width;
    p.i_height = s.height;
    p.i_csp = X264_CSP_NV12;
    p.i_threads = 1;
    p.b_sliced_threads = 0;
    p.i_lookahead_threads = 1;
    p.rc.i_lookahead = 0;
    p.i_sync_lookahead = 0;
    p.rc.b_mb_tree = 0;
    p.i_bframe = 0;
    p.b_vfr_input = 0;
    p.i_fps_num = s.framerate_q16;
    p.i_fps_den = 1 << 16;
    p.i_timebase_num = 1;
    p.i_timebase_den = 1000000;
    p.i_keyint_max = s.idr_period;
    p.i_keyint_min = s.idr_period;
    p.i_scenecut_threshold = 0;
    p.b_open_gop = 0;
    p.b_annexb = 1;
    p.b_repeat_headers = 0;  // parameter sets travel once, in the codec-configuration output
    p.i_frame_reference = s.ref_frames;

    // The fast presets switch coding tools off; the client's choices go on top of them.
    p.b_cabac = s.cabac;
    p.analyse.b_transform_8x8 = s.transform_8x8;
    p.b_deblocking_filter = s.loop_filter;
    p.analyse.i_weighted_pred = s.weighted_p ? X264_WEIGHTP_SIMPLE : X264_WEIGHTP_NONE;
    p.b_constrained_intra = s.constrained_intra;
    if (s.satd && p.analyse.i_subpel_refine < 2) p.analyse.i_subpel_refine = 2;  // SATD from subme 2 on

    if (!s.rate_control) {
      p.rc.i_rc_method = X264_RC_CRF;
      p.rc.f_rf_constant = 23;
    } else {
      p.rc.i_rc_method = X264_RC_ABR;
      p.rc.i_bitrate = (int)(s.bitrate / 1000);
      // A one-second buffer model, as rate control in hardware keeps: without it, one-pass
      // rate control with no lookahead mispredicts every sync frame and overshoots the target.
      // Variable rate lets the peak rise above the target; constant rate does not.
      p.rc.i_vbv_max_bitrate = s.variable_rate ? p.rc.i_bitrate * kVbrPeakPercent / 100 : p.rc.i_bitrate;
      p.rc.i_vbv_buffer_size = p.rc.i_bitrate;
    }
    double fps = s.framerate_q16 / 65536.0;
    level = avc_level_for(s.level_idc, s.width, s.height, fps, s.bitrate, s.profile == 100);
    p.i_level_idc = level;
    const char *profile = s.profile == 66 ? "baseline" : s.profile == 77 ? "main" : "high";
    if (x264_param_apply_profile(&p, profile) < 0) return "profile does not fit the settings";
    enc = x264_encoder_open(&p);
    if (!enc) return "x264_encoder_open failed";
    return "";
  }

  void close() override {
    if (enc) x264_encoder_close(enc);
    enc = nullptr;
  }

  std::vector<uint8_t> headers() override {
    std::vector<uint8_t> out;
    x264_nal_t *nals;
    int n;
    if (!enc || x264_encoder_headers(enc, &nals, &n) < 0) return out;
    for (int i = 0; i < n; i++) {
      if (nals[i].i_type == NAL_SPS || nals[i].i_type == NAL_PPS) {
        out.insert(out.end(), nals[i].p_payload, nals[i].p_payload + nals[i].i_payload);
      }
    }
    return out;
  }

  bool encode(const Nv12Picture &pic, int64_t pts, std::vector<EncodedUnit> &out) override {
    x264_picture_t in;
    x264_picture_init(&in);
    in.img.i_csp = X264_CSP_NV12;
    in.img.i_plane = 2;
    in.img.plane[0] = const_cast<uint8_t *>(pic.y);
    in.img.plane[1] = const_cast<uint8_t *>(pic.uv);
    in.img.i_stride[0] = in.img.i_stride[1] = pic.stride;
    in.i_pts = pts;
    in.i_type = pic.force_sync ? X264_TYPE_IDR : X264_TYPE_AUTO;
    return collect(&in, out);
  }

  bool drain(std::vector<EncodedUnit> &out) override {
    if (!enc || x264_encoder_delayed_frames(enc) == 0) return false;
    while (x264_encoder_delayed_frames(enc) > 0) {
      if (!collect(nullptr, out)) break;
    }
    return true;
  }

  int level_idc() const override { return level; }

 private:
  bool collect(x264_picture_t *in, std::vector<EncodedUnit> &out) {
    x264_nal_t *nals;
    int n;
    x264_picture_t pic_out;
    int size = x264_encoder_encode(enc, &nals, &n, in, &pic_out);
    if (size < 0) return false;
    if (size == 0) return true;
    EncodedUnit u;
    for (int i = 0; i < n; i++) {
      if (nals[i].i_type == NAL_SEI) continue;  // the library's own version banner
      u.data.insert(u.data.end(), nals[i].p_payload, nals[i].p_payload + nals[i].i_payload);
    }
    u.pts = pic_out.i_pts;
    u.sync = pic_out.b_keyframe;
    out.push_back(std::move(u));
    return true;
  }

  x264_t *enc = nullptr;
  int level = 0;
};

}  // namespace

int avc_level_for(int requested, int width, int height, double fps, uint32_t bitrate, bool high_profile) {
  long mbs = (long)((width + 15) / 16) * ((height + 15) / 16);
  long mb_w = (width + 15) / 16, mb_h = (height + 15) / 16;
  double kbps = bitrate / 1000.0;
  for (const AvcLevelLimit &l : kAvcLevels) {
    if (l.idc < requested) continue;
    long max_side = 1;
    while ((max_side + 1) * (max_side + 1) <= 8 * l.max_fs) max_side++;  // each side at most sqrt(8 * MaxFS)
    double max_kbps = high_profile ? l.max_br * 1.25 : l.max_br;
    if (mbs <= l.max_fs && mb_w <= max_side && mb_h <= max_side && mbs * fps <= l.max_mbps && kbps <= max_kbps) {
      return l.idc;
    }
  }
  return 52;  // beyond every limit: the highest level this encoder signals
}

std::unique_ptr<CodecBackend> make_x264_backend() { return std::make_unique<X264Backend>(); }

}  // namespace omx_core
