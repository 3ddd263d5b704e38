// Parameters of the encoder component: what a client reads and writes before the codec opens,
// checked as OpenMAX components check them, and turned into the codec's settings.

#include <cstring>

#include "encoder_component.h"
#include "omx_vendor_ext.h"
#include "param_check.h"

namespace omx_core {

namespace {

constexpr OMX_U32 kInputPort = 0;
constexpr OMX_U32 kOutputPort = 1;
constexpr int kMaxDimension = 8192;

// OMX AVC level bit → level number x10.
int avc_level_number(OMX_U32 level) {
  switch (level) {
    case OMX_VIDEO_AVCLevel1: return 10;
    case OMX_VIDEO_AVCLevel1b: return 9;
    case OMX_VIDEO_AVCLevel11: return 11;
    case OMX_VIDEO_AVCLevel12: return 12;
    case OMX_VIDEO_AVCLevel13: return 13;
    case OMX_VIDEO_AVCLevel2: return 20;
    case OMX_VIDEO_AVCLevel21: return 21;
    case OMX_VIDEO_AVCLevel22: return 22;
    case OMX_VIDEO_AVCLevel3: return 30;
    case OMX_VIDEO_AVCLevel31: return 31;
    case OMX_VIDEO_AVCLevel32: return 32;
    case OMX_VIDEO_AVCLevel4: return 40;
    case OMX_VIDEO_AVCLevel41: return 41;
    case OMX_VIDEO_AVCLevel42: return 42;
    case OMX_VIDEO_AVCLevel5: return 50;
    case OMX_VIDEO_AVCLevel51: return 51;
    default: return 0;
  }
}

OMX_U32 avc_level_bit(int number) {
  static const struct { int n; OMX_U32 bit; } table[] = {
      {9, OMX_VIDEO_AVCLevel1b}, {10, OMX_VIDEO_AVCLevel1}, {11, OMX_VIDEO_AVCLevel11}, {12, OMX_VIDEO_AVCLevel12},
      {13, OMX_VIDEO_AVCLevel13}, {20, OMX_VIDEO_AVCLevel2}, {21, OMX_VIDEO_AVCLevel21}, {22, OMX_VIDEO_AVCLevel22},
      {30, OMX_VIDEO_AVCLevel3}, {31, OMX_VIDEO_AVCLevel31}, {32, OMX_VIDEO_AVCLevel32}, {40, OMX_VIDEO_AVCLevel4},
      {41, OMX_VIDEO_AVCLevel41}, {42, OMX_VIDEO_AVCLevel42}, {50, OMX_VIDEO_AVCLevel5}, {51, OMX_VIDEO_AVCLevel51}};
  for (const auto &t : table) {
    if (t.n == number) return t.bit;
  }
  return 0;
}

// HEVC level bit → level number x10 (30 = 3.0) and tier; the bits alternate main/high tier.
bool hevc_level_number(OMX_U32 level, int &number, bool &high_tier) {
  static const int numbers[] = {10, 20, 21, 30, 31, 40, 41, 50, 51, 52, 60, 61, 62};
  for (int bit = 0; bit < 26; bit++) {
    if (level == (1u << bit)) {
      number = numbers[bit / 2];
      high_tier = bit % 2 == 1;
      return true;
    }
  }
  return false;
}

}  // namespace

OMX_ERRORTYPE EncoderComponent::get_parameter(OMX_INDEXTYPE index, OMX_PTR param) {
  if (!param) return OMX_ErrorBadParameter;
  std::lock_guard<std::mutex> lk(m);
  switch ((int)index) {
    case OMX_IndexParamVideoInit: {
      auto *p = static_cast<OMX_PORT_PARAM_TYPE *>(param);
      if (p->nSize != sizeof(*p)) return OMX_ErrorBadParameter;
      p->nPorts = kPorts;
      p->nStartPortNumber = 0;
      return OMX_ErrorNone;
    }
    case OMX_IndexParamPortDefinition: {
      auto *p = static_cast<OMX_PARAM_PORTDEFINITIONTYPE *>(param);
      OMX_ERRORTYPE err = check_port_struct(p, kPorts);
      if (err != OMX_ErrorNone) return err;
      *p = ports[p->nPortIndex].def;
      p->bPopulated = ports[p->nPortIndex].buffers.size() >= ports[p->nPortIndex].def.nBufferCountActual ? OMX_TRUE : OMX_FALSE;
      return OMX_ErrorNone;
    }
    case OMX_IndexParamVideoBitrate: {
      auto *p = static_cast<OMX_VIDEO_PARAM_BITRATETYPE *>(param);
      OMX_ERRORTYPE err = check_output_struct(p, kOutputPort);
      if (err != OMX_ErrorNone) return err;
      *p = bitrate;
      return OMX_ErrorNone;
    }
    case OMX_IndexParamVideoAvc: {
      if (codec != Codec::AVC) return OMX_ErrorUnsupportedIndex;
      auto *p = static_cast<OMX_VIDEO_PARAM_AVCTYPE *>(param);
      OMX_ERRORTYPE err = check_output_struct(p, kOutputPort);
      if (err != OMX_ErrorNone) return err;
      *p = avc;
      if (signalled_level) p->eLevel = (OMX_VIDEO_AVCLEVELTYPE)avc_level_bit(signalled_level);
      return OMX_ErrorNone;
    }
    case OMX_IndexParamVideoProfileLevelCurrent: {
      auto *p = static_cast<OMX_VIDEO_PARAM_PROFILELEVELTYPE *>(param);
      OMX_ERRORTYPE err = check_output_struct(p, kOutputPort);
      if (err != OMX_ErrorNone) return err;
      *p = profile_level;
      if (codec == Codec::AVC) {
        p->eProfile = avc.eProfile;
        p->eLevel = signalled_level ? avc_level_bit(signalled_level) : (OMX_U32)avc.eLevel;
      }
      return OMX_ErrorNone;
    }
    default:
      return OMX_ErrorUnsupportedIndex;
  }
}

OMX_ERRORTYPE EncoderComponent::set_parameter(OMX_INDEXTYPE index, OMX_PTR param) {
  if (!param) return OMX_ErrorBadParameter;
  std::lock_guard<std::mutex> lk(m);
  // Parameters shape the codec, which is opened on the way to idle.
  if (state != OMX_StateLoaded || populating) return OMX_ErrorIncorrectStateOperation;
  switch ((int)index) {
    case OMX_IndexParamPortDefinition: {
      auto *p = static_cast<const OMX_PARAM_PORTDEFINITIONTYPE *>(param);
      OMX_ERRORTYPE err = check_port_struct(p, kPorts);
      if (err != OMX_ErrorNone) return err;
      Port &port = ports[p->nPortIndex];
      const OMX_VIDEO_PORTDEFINITIONTYPE &v = p->format.video;
      if (p->nBufferCountActual < port.def.nBufferCountMin) return OMX_ErrorBadParameter;
      if (v.nFrameWidth == 0 || v.nFrameHeight == 0 || v.nFrameWidth > kMaxDimension ||
          v.nFrameHeight > kMaxDimension || v.nFrameWidth % 2 || v.nFrameHeight % 2) {
        return OMX_ErrorUnsupportedSetting;
      }
      if (p->nPortIndex == kInputPort) {
        if (v.eColorFormat != OMX_QCOM_COLOR_FormatYUV420PackedSemiPlanar32m ||
            v.eCompressionFormat != OMX_VIDEO_CodingUnused || v.xFramerate == 0) {
          return OMX_ErrorUnsupportedSetting;
        }
      } else {
        OMX_VIDEO_CODINGTYPE mine = codec == Codec::AVC ? OMX_VIDEO_CodingAVC : OMX_VIDEO_CodingHEVC;
        if (v.eCompressionFormat != mine) return OMX_ErrorUnsupportedSetting;
      }
      port.def.nBufferCountActual = p->nBufferCountActual;
      port.def.format.video = v;
      port.def.format.video.nStride = (OMX_S32)VENUS_Y_STRIDE(COLOR_FMT_NV12, (int)v.nFrameWidth);
      // The input picture size fixes both ports; the output port follows it.
      if (p->nPortIndex == kInputPort) {
        OMX_VIDEO_PORTDEFINITIONTYPE &out = ports[kOutputPort].def.format.video;
        out.nFrameWidth = v.nFrameWidth;
        out.nFrameHeight = v.nFrameHeight;
        out.nStride = port.def.format.video.nStride;
        out.nSliceHeight = v.nFrameHeight;
      } else {
        port.def.format.video.eColorFormat = OMX_COLOR_FormatUnused;
        if (v.nBitrate) bitrate.nTargetBitrate = v.nBitrate;
      }
      // Buffer sizes follow from the frame size; the client reads them back.
      update_buffer_sizes_locked();
      return OMX_ErrorNone;
    }
    case OMX_IndexParamVideoBitrate: {
      auto *p = static_cast<const OMX_VIDEO_PARAM_BITRATETYPE *>(param);
      OMX_ERRORTYPE err = check_output_struct(p, kOutputPort);
      if (err != OMX_ErrorNone) return err;
      if (p->eControlRate > OMX_Video_ControlRateConstantSkipFrames) return OMX_ErrorUnsupportedSetting;
      if (p->eControlRate != OMX_Video_ControlRateDisable && p->nTargetBitrate == 0) return OMX_ErrorBadParameter;
      bitrate.eControlRate = p->eControlRate;
      bitrate.nTargetBitrate = p->nTargetBitrate;
      ports[kOutputPort].def.format.video.nBitrate = p->nTargetBitrate;
      return OMX_ErrorNone;
    }
    case OMX_IndexParamVideoAvc: {
      if (codec != Codec::AVC) return OMX_ErrorUnsupportedIndex;
      auto *p = static_cast<const OMX_VIDEO_PARAM_AVCTYPE *>(param);
      OMX_ERRORTYPE err = check_output_struct(p, kOutputPort);
      if (err != OMX_ErrorNone) return err;
      // This encoder makes I and P pictures only, from one to 16 references.
      if (p->nBFrames != 0 || p->nRefFrames < 1 || p->nRefFrames > 16) return OMX_ErrorUnsupportedSetting;
      if (p->eProfile != OMX_VIDEO_AVCProfileBaseline && p->eProfile != OMX_VIDEO_AVCProfileMain &&
          p->eProfile != OMX_VIDEO_AVCProfileHigh) {
        return OMX_ErrorUnsupportedSetting;
      }
      if (avc_level_number(p->eLevel) == 0) return OMX_ErrorUnsupportedSetting;
      avc = *p;
      return OMX_ErrorNone;
    }
    case OMX_IndexParamVideoProfileLevelCurrent: {
      auto *p = static_cast<const OMX_VIDEO_PARAM_PROFILELEVELTYPE *>(param);
      OMX_ERRORTYPE err = check_output_struct(p, kOutputPort);
      if (err != OMX_ErrorNone) return err;
      if (codec == Codec::AVC) {
        if (avc_level_number(p->eLevel) == 0) return OMX_ErrorUnsupportedSetting;
        if (p->eProfile != OMX_VIDEO_AVCProfileBaseline && p->eProfile != OMX_VIDEO_AVCProfileMain &&
            p->eProfile != OMX_VIDEO_AVCProfileHigh) {
          return OMX_ErrorUnsupportedSetting;
        }
        avc.eProfile = (OMX_VIDEO_AVCPROFILETYPE)p->eProfile;
        avc.eLevel = (OMX_VIDEO_AVCLEVELTYPE)p->eLevel;
      } else {
        int number;
        bool high;
        if (p->eProfile != OMX_VIDEO_HEVCProfileMain || !hevc_level_number(p->eLevel, number, high)) {
          return OMX_ErrorUnsupportedSetting;
        }
      }
      profile_level.eProfile = p->eProfile;
      profile_level.eLevel = p->eLevel;
      return OMX_ErrorNone;
    }
    default:
      return OMX_ErrorUnsupportedIndex;
  }
}

void EncoderComponent::update_buffer_sizes_locked() {
  const OMX_VIDEO_PORTDEFINITIONTYPE &in = ports[kInputPort].def.format.video;
  unsigned int raw = VENUS_BUFFER_SIZE(COLOR_FMT_NV12, (int)in.nFrameWidth, (int)in.nFrameHeight);
  ports[kInputPort].def.nBufferSize = raw;
  // One coded picture never comes near the size of the raw one under rate control.
  ports[kOutputPort].def.nBufferSize = raw;
}

CodecSettings EncoderComponent::settings_locked() const {
  CodecSettings s;
  const OMX_VIDEO_PORTDEFINITIONTYPE &in = ports[kInputPort].def.format.video;
  s.width = (int)in.nFrameWidth;
  s.height = (int)in.nFrameHeight;
  s.framerate_q16 = (uint32_t)in.xFramerate;
  s.bitrate = (uint32_t)bitrate.nTargetBitrate;
  s.rate_control = bitrate.eControlRate != OMX_Video_ControlRateDisable;
  s.variable_rate = bitrate.eControlRate == OMX_Video_ControlRateVariable ||
                    bitrate.eControlRate == OMX_Video_ControlRateVariableSkipFrames;
  if (codec == Codec::AVC) {
    s.idr_period = (int)(avc.nPFrames + avc.nBFrames + 1);
    s.ref_frames = (int)avc.nRefFrames;
    s.profile = avc.eProfile == OMX_VIDEO_AVCProfileBaseline ? 66 : avc.eProfile == OMX_VIDEO_AVCProfileMain ? 77 : 100;
    s.level_idc = avc_level_number(avc.eLevel);
    s.cabac = avc.bEntropyCodingCABAC && s.profile != 66;
    s.transform_8x8 = s.profile == 100;
    s.loop_filter = avc.eLoopFilterMode != OMX_VIDEO_AVCLoopFilterDisable;
    s.weighted_p = avc.bWeightedPPrediction && s.profile != 66;
    s.constrained_intra = avc.bconstIpred;
    s.satd = avc.bUseHadamard;
  } else {
    // One sync picture a second.
    s.idr_period = (int)((in.xFramerate + 0xFFFF) >> 16);
    s.profile = 1;
    hevc_level_number(profile_level.eLevel, s.level_idc, s.high_tier);
  }
  return s;
}

OMX_ERRORTYPE EncoderComponent::set_config(OMX_INDEXTYPE index, OMX_PTR config) {
  if (!config) return OMX_ErrorBadParameter;
  switch ((int)index) {
    case OMX_IndexConfigVideoIntraVOPRefresh: {
      // A sync frame on request, as hardware encoders do: the next picture taken in starts a
      // new sequence that decodes on its own.
      auto *c = static_cast<const OMX_CONFIG_INTRAREFRESHVOPTYPE *>(config);
      OMX_ERRORTYPE err = check_output_struct(c, kOutputPort);
      if (err != OMX_ErrorNone) return err;
      if (c->IntraRefreshVOP) sync_requested = true;
      return OMX_ErrorNone;
    }
    default:
      return OMX_ErrorUnsupportedIndex;
  }
}

}  // namespace omx_core
