#include "encoder_component.h"

#include <cstring>

#include "omx_vendor_ext.h"
#include "param_check.h"

namespace omx_core {

namespace {

constexpr OMX_U32 kInputPort = 0;
constexpr OMX_U32 kOutputPort = 1;
constexpr int kMaxDimension = 8192;

void init_header(OMX_PARAM_PORTDEFINITIONTYPE &def) {
  memset(&def, 0, sizeof(def));
  def.nSize = sizeof(def);
  def.nVersion.s.nVersionMajor = 1;
  def.nVersion.s.nVersionMinor = 1;
}

template <class T>
void init_struct(T &s, OMX_U32 port) {
  memset(&s, 0, sizeof(s));
  s.nSize = sizeof(s);
  s.nVersion.s.nVersionMajor = 1;
  s.nVersion.s.nVersionMinor = 1;
  s.nPortIndex = port;
}

bool valid_transition(OMX_STATETYPE from, OMX_STATETYPE to) {
  switch (from) {
    case OMX_StateLoaded: return to == OMX_StateIdle;
    case OMX_StateIdle: return to == OMX_StateLoaded || to == OMX_StateExecuting || to == OMX_StatePause;
    case OMX_StateExecuting: return to == OMX_StateIdle || to == OMX_StatePause;
    case OMX_StatePause: return to == OMX_StateIdle || to == OMX_StateExecuting;
    default: return false;
  }
}

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

// Smallest NV12 content an input buffer must carry for the port's frame size.
OMX_U32 input_planes_size(const OMX_VIDEO_PORTDEFINITIONTYPE &v) {
  int w = (int)v.nFrameWidth, h = (int)v.nFrameHeight;
  return VENUS_Y_STRIDE(COLOR_FMT_NV12, w) * (VENUS_Y_SCANLINES(COLOR_FMT_NV12, h) + VENUS_UV_SCANLINES(COLOR_FMT_NV12, h));
}

}  // namespace

EncoderComponent::EncoderComponent(const std::string &name, Codec codec, std::unique_ptr<CodecBackend> backend,
                                   const OMX_CALLBACKTYPE *cb, OMX_PTR app)
    : name(name), codec(codec), backend(std::move(backend)) {
  if (cb) callbacks = *cb;
  app_data = app;

  omx.nSize = sizeof(omx);
  omx.nVersion.s.nVersionMajor = 1;
  omx.nVersion.s.nVersionMinor = 1;
  omx.pComponentPrivate = this;
  omx.pApplicationPrivate = app;
  omx.GetComponentVersion = [](OMX_HANDLETYPE h, OMX_STRING n, OMX_VERSIONTYPE *c, OMX_VERSIONTYPE *s, OMX_UUIDTYPE *u) {
    return from(h)->get_version(n, c, s, u);
  };
  omx.SendCommand = [](OMX_HANDLETYPE h, OMX_COMMANDTYPE c, OMX_U32 p, OMX_PTR d) { return from(h)->send_command(c, p, d); };
  omx.GetParameter = [](OMX_HANDLETYPE h, OMX_INDEXTYPE i, OMX_PTR p) { return from(h)->get_parameter(i, p); };
  omx.SetParameter = [](OMX_HANDLETYPE h, OMX_INDEXTYPE i, OMX_PTR p) { return from(h)->set_parameter(i, p); };
  omx.GetConfig = [](OMX_HANDLETYPE, OMX_INDEXTYPE, OMX_PTR) { return OMX_ErrorUnsupportedIndex; };
  omx.SetConfig = [](OMX_HANDLETYPE, OMX_INDEXTYPE, OMX_PTR) { return OMX_ErrorUnsupportedIndex; };
  omx.GetExtensionIndex = [](OMX_HANDLETYPE, OMX_STRING, OMX_INDEXTYPE *) { return OMX_ErrorUnsupportedIndex; };
  omx.GetState = [](OMX_HANDLETYPE h, OMX_STATETYPE *s) { return from(h)->get_state(s); };
  omx.ComponentTunnelRequest = [](OMX_HANDLETYPE, OMX_U32, OMX_HANDLETYPE, OMX_U32, OMX_TUNNELSETUPTYPE *) {
    return OMX_ErrorNotImplemented;
  };
  omx.UseBuffer = [](OMX_HANDLETYPE h, OMX_BUFFERHEADERTYPE **b, OMX_U32 port, OMX_PTR app_private, OMX_U32 size,
                     OMX_U8 *mem) {
    if (!mem) return OMX_ErrorBadParameter;
    return from(h)->allocate_buffer(b, port, app_private, size, mem);
  };
  omx.AllocateBuffer = [](OMX_HANDLETYPE h, OMX_BUFFERHEADERTYPE **b, OMX_U32 port, OMX_PTR app_private,
                          OMX_U32 size) { return from(h)->allocate_buffer(b, port, app_private, size, nullptr); };
  omx.FreeBuffer = [](OMX_HANDLETYPE h, OMX_U32 port, OMX_BUFFERHEADERTYPE *b) { return from(h)->free_buffer(port, b); };
  omx.EmptyThisBuffer = [](OMX_HANDLETYPE h, OMX_BUFFERHEADERTYPE *b) { return from(h)->empty_this_buffer(b); };
  omx.FillThisBuffer = [](OMX_HANDLETYPE h, OMX_BUFFERHEADERTYPE *b) { return from(h)->fill_this_buffer(b); };
  omx.SetCallbacks = [](OMX_HANDLETYPE h, OMX_CALLBACKTYPE *c, OMX_PTR a) { return from(h)->set_callbacks(c, a); };
  omx.ComponentDeInit = [](OMX_HANDLETYPE) { return OMX_ErrorNone; };  // the core tears down in OMX_FreeHandle
  omx.UseEGLImage = [](OMX_HANDLETYPE, OMX_BUFFERHEADERTYPE **, OMX_U32, OMX_PTR, void *) {
    return OMX_ErrorNotImplemented;
  };
  omx.ComponentRoleEnum = [](OMX_HANDLETYPE, OMX_U8 *, OMX_U32) { return OMX_ErrorNoMore; };

  // Defaults a client reads before setting its own values.
  const int w = 1280, h = 720;
  for (OMX_U32 p = 0; p < kPorts; p++) {
    OMX_PARAM_PORTDEFINITIONTYPE &def = ports[p].def;
    init_header(def);
    def.nPortIndex = p;
    def.eDir = p == kInputPort ? OMX_DirInput : OMX_DirOutput;
    def.nBufferCountMin = 2;
    def.nBufferCountActual = 4;
    def.bEnabled = OMX_TRUE;
    def.eDomain = OMX_PortDomainVideo;
    def.nBufferAlignment = 4096;
    def.format.video.nFrameWidth = w;
    def.format.video.nFrameHeight = h;
    def.format.video.nStride = (OMX_S32)VENUS_Y_STRIDE(COLOR_FMT_NV12, w);
    def.format.video.nSliceHeight = h;
  }
  ports[kInputPort].def.format.video.xFramerate = 30 << 16;
  ports[kInputPort].def.format.video.eCompressionFormat = OMX_VIDEO_CodingUnused;
  ports[kInputPort].def.format.video.eColorFormat = OMX_QCOM_COLOR_FormatYUV420PackedSemiPlanar32m;
  ports[kOutputPort].def.format.video.nBitrate = 2000000;
  ports[kOutputPort].def.format.video.eCompressionFormat = codec == Codec::AVC ? OMX_VIDEO_CodingAVC : OMX_VIDEO_CodingHEVC;
  ports[kOutputPort].def.format.video.eColorFormat = OMX_COLOR_FormatUnused;
  update_buffer_sizes_locked();

  init_struct(bitrate, kOutputPort);
  bitrate.eControlRate = OMX_Video_ControlRateVariable;
  bitrate.nTargetBitrate = ports[kOutputPort].def.format.video.nBitrate;

  init_struct(avc, kOutputPort);
  avc.nPFrames = 29;
  avc.nBFrames = 0;
  avc.bUseHadamard = OMX_TRUE;
  avc.nRefFrames = 1;
  avc.eProfile = OMX_VIDEO_AVCProfileHigh;
  avc.eLevel = OMX_VIDEO_AVCLevel4;
  avc.nAllowedPictureTypes = OMX_VIDEO_PictureTypeI | OMX_VIDEO_PictureTypeP;
  avc.bFrameMBsOnly = OMX_TRUE;
  avc.bEntropyCodingCABAC = OMX_TRUE;
  avc.eLoopFilterMode = OMX_VIDEO_AVCLoopFilterEnable;

  init_struct(profile_level, kOutputPort);
  if (codec == Codec::AVC) {
    profile_level.eProfile = avc.eProfile;
    profile_level.eLevel = avc.eLevel;
  } else {
    profile_level.eProfile = OMX_VIDEO_HEVCProfileMain;
    profile_level.eLevel = OMX_VIDEO_HEVCMainTierLevel5;
  }

  worker = std::thread(&EncoderComponent::run, this);
}

EncoderComponent::~EncoderComponent() {
  {
    std::lock_guard<std::mutex> lk(m);
    quit = true;
  }
  cv.notify_all();
  worker.join();
  backend->close();
}

EncoderComponent *EncoderComponent::from(OMX_HANDLETYPE h) {
  return static_cast<EncoderComponent *>(static_cast<OMX_COMPONENTTYPE *>(h)->pComponentPrivate);
}

OMX_ERRORTYPE EncoderComponent::get_version(OMX_STRING n, OMX_VERSIONTYPE *c, OMX_VERSIONTYPE *s, OMX_UUIDTYPE *u) {
  if (!n || !c || !s || !u) return OMX_ErrorBadParameter;
  snprintf(n, OMX_MAX_STRINGNAME_SIZE, "%s", name.c_str());
  c->nVersion = 0;
  c->s.nVersionMajor = 1;
  *s = omx.nVersion;
  memset(*u, 0, sizeof(*u));
  memcpy(*u, &omx, sizeof(void *) < sizeof(*u) ? sizeof(void *) : sizeof(*u));
  return OMX_ErrorNone;
}

OMX_ERRORTYPE EncoderComponent::set_callbacks(const OMX_CALLBACKTYPE *cb, OMX_PTR app) {
  if (!cb) return OMX_ErrorBadParameter;
  std::lock_guard<std::mutex> lk(m);
  if (state != OMX_StateLoaded) return OMX_ErrorIncorrectStateOperation;
  callbacks = *cb;
  app_data = app;
  omx.pApplicationPrivate = app;
  return OMX_ErrorNone;
}

OMX_ERRORTYPE EncoderComponent::get_state(OMX_STATETYPE *s) {
  if (!s) return OMX_ErrorBadParameter;
  std::lock_guard<std::mutex> lk(m);
  *s = state;
  return OMX_ErrorNone;
}

// ---- Commands ------------------------------------------------------------------------------

OMX_ERRORTYPE EncoderComponent::send_command(OMX_COMMANDTYPE cmd, OMX_U32 param, OMX_PTR) {
  std::unique_lock<std::mutex> lk(m);
  if (state == OMX_StateInvalid) return OMX_ErrorInvalidState;
  switch (cmd) {
    case OMX_CommandStateSet: {
      OMX_STATETYPE to = (OMX_STATETYPE)param;
      // Buffer allocation and release are allowed from the moment the command is accepted, as a
      // client allocates its buffers right after asking for idle, before the component acts on it.
      if (valid_transition(expected_state, to)) {
        if (expected_state == OMX_StateLoaded && to == OMX_StateIdle) populating = true;
        if (expected_state == OMX_StateIdle && to == OMX_StateLoaded) depopulating = true;
        expected_state = to;
      }
      break;
    }
    case OMX_CommandFlush:
      if (param >= kPorts && param != OMX_ALL) return OMX_ErrorBadPortIndex;
      break;
    case OMX_CommandPortDisable:
    case OMX_CommandPortEnable:
    case OMX_CommandMarkBuffer:
      return OMX_ErrorNotImplemented;
    default:
      return OMX_ErrorBadParameter;
  }
  commands.push_back({cmd, param, false});
  lk.unlock();
  cv.notify_all();
  return OMX_ErrorNone;
}

// ---- Parameters ----------------------------------------------------------------------------

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

// ---- Buffers -------------------------------------------------------------------------------

EncoderComponent::Buffer *EncoderComponent::find_buffer_locked(int port, OMX_BUFFERHEADERTYPE *hdr) {
  for (auto &b : ports[port].buffers) {
    if (&b->hdr == hdr) return b.get();
  }
  return nullptr;
}

OMX_ERRORTYPE EncoderComponent::allocate_buffer(OMX_BUFFERHEADERTYPE **out, OMX_U32 port, OMX_PTR app_private,
                                                OMX_U32 size, OMX_U8 *client_memory) {
  if (!out) return OMX_ErrorBadParameter;
  if (port >= kPorts) return OMX_ErrorBadPortIndex;
  std::unique_lock<std::mutex> lk(m);
  if (state != OMX_StateLoaded || !populating) return OMX_ErrorIncorrectStateOperation;
  Port &p = ports[port];
  if (size < p.def.nBufferSize) return OMX_ErrorBadParameter;
  if (p.buffers.size() >= p.def.nBufferCountActual) return OMX_ErrorInsufficientResources;

  auto b = std::make_unique<Buffer>();
  OMX_BUFFERHEADERTYPE &h = b->hdr;
  memset(&h, 0, sizeof(h));
  h.nSize = sizeof(h);
  h.nVersion = omx.nVersion;
  if (client_memory) {
    h.pBuffer = client_memory;
  } else {
    b->own_memory.reset(new (std::nothrow) uint8_t[size]);
    if (!b->own_memory) return OMX_ErrorInsufficientResources;
    h.pBuffer = b->own_memory.get();
  }
  h.nAllocLen = size;
  h.pAppPrivate = app_private;
  h.nInputPortIndex = port == kInputPort ? kInputPort : OMX_ALL;
  h.nOutputPortIndex = port == kOutputPort ? kOutputPort : OMX_ALL;
  *out = &h;
  p.buffers.push_back(std::move(b));
  lk.unlock();
  cv.notify_all();  // the last buffer completes the move to idle
  return OMX_ErrorNone;
}

OMX_ERRORTYPE EncoderComponent::free_buffer(OMX_U32 port, OMX_BUFFERHEADERTYPE *hdr) {
  if (port >= kPorts) return OMX_ErrorBadPortIndex;
  if (!hdr) return OMX_ErrorBadParameter;
  std::unique_lock<std::mutex> lk(m);
  Port &p = ports[port];
  auto it = p.buffers.begin();
  while (it != p.buffers.end() && &(*it)->hdr != hdr) ++it;
  if (it == p.buffers.end()) return OMX_ErrorBadParameter;
  // Freeing outside a move to loaded takes the port out of service: the client is told so.
  bool unexpected = !(state == OMX_StateLoaded || (state == OMX_StateIdle && depopulating));
  for (auto q = p.queued.begin(); q != p.queued.end();) {
    q = *q == hdr ? p.queued.erase(q) : q + 1;
  }
  p.buffers.erase(it);
  if (unexpected) {
    commands.push_back({OMX_CommandStateSet, (OMX_U32)OMX_ErrorPortUnpopulated, true});
  }
  lk.unlock();
  cv.notify_all();
  return OMX_ErrorNone;
}

OMX_ERRORTYPE EncoderComponent::queue_buffer(int port, OMX_BUFFERHEADERTYPE *hdr) {
  if (!hdr || hdr->nSize != sizeof(*hdr)) return OMX_ErrorBadParameter;
  OMX_U32 index = port == (int)kInputPort ? hdr->nInputPortIndex : hdr->nOutputPortIndex;
  if (index != (OMX_U32)port) return OMX_ErrorBadPortIndex;
  if (hdr->nOffset > hdr->nAllocLen || hdr->nFilledLen > hdr->nAllocLen - hdr->nOffset) return OMX_ErrorBadParameter;
  std::unique_lock<std::mutex> lk(m);
  if (state != OMX_StateIdle && state != OMX_StateExecuting && state != OMX_StatePause) {
    return OMX_ErrorIncorrectStateOperation;
  }
  Buffer *b = find_buffer_locked(port, hdr);
  if (!b) return OMX_ErrorBadParameter;
  if (b->with_component) return OMX_ErrorIncorrectStateOperation;  // handed over twice
  b->with_component = true;
  ports[port].queued.push_back(hdr);
  lk.unlock();
  cv.notify_all();
  return OMX_ErrorNone;
}

OMX_ERRORTYPE EncoderComponent::empty_this_buffer(OMX_BUFFERHEADERTYPE *hdr) { return queue_buffer(kInputPort, hdr); }
OMX_ERRORTYPE EncoderComponent::fill_this_buffer(OMX_BUFFERHEADERTYPE *hdr) { return queue_buffer(kOutputPort, hdr); }

// ---- Worker --------------------------------------------------------------------------------

bool EncoderComponent::transition_ready_locked() const {
  if (transition_target == OMX_StateIdle) {
    for (const Port &p : ports) {
      if (p.buffers.size() < p.def.nBufferCountActual) return false;
    }
    return true;
  }
  if (transition_target == OMX_StateLoaded) {
    for (const Port &p : ports) {
      if (!p.buffers.empty()) return false;
    }
    return true;
  }
  return false;
}

bool EncoderComponent::has_work_locked() const {
  if (transition_target != OMX_StateInvalid) return transition_ready_locked();
  if (!commands.empty()) return true;
  if (state != OMX_StateExecuting) return false;
  if (!pending.empty()) return !ports[kOutputPort].queued.empty();
  return !ports[kInputPort].queued.empty();
}

void EncoderComponent::run() {
  std::unique_lock<std::mutex> lk(m);
  while (true) {
    cv.wait(lk, [this] { return quit || has_work_locked(); });
    if (quit) return;
    if (transition_target != OMX_StateInvalid) {
      finish_transition(lk);
    } else if (!commands.empty()) {
      Command c = commands.front();
      commands.pop_front();
      run_command(c, lk);
    } else if (!pending.empty()) {
      deliver_one(lk);
    } else {
      OMX_BUFFERHEADERTYPE *in = ports[kInputPort].queued.front();
      ports[kInputPort].queued.pop_front();
      encode_one(in, lk);
    }
  }
}

void EncoderComponent::emit_event(OMX_EVENTTYPE ev, OMX_U32 d1, OMX_U32 d2, std::unique_lock<std::mutex> &lk) {
  OMX_CALLBACKTYPE cb = callbacks;
  OMX_PTR app = app_data;
  lk.unlock();
  if (cb.EventHandler) cb.EventHandler(&omx, app, ev, d1, d2, nullptr);
  lk.lock();
}

void EncoderComponent::return_buffer(int port, OMX_BUFFERHEADERTYPE *hdr, std::unique_lock<std::mutex> &lk) {
  Buffer *b = find_buffer_locked(port, hdr);
  if (!b) return;  // freed meanwhile
  b->with_component = false;
  OMX_CALLBACKTYPE cb = callbacks;
  OMX_PTR app = app_data;
  lk.unlock();
  if (port == (int)kInputPort) {
    if (cb.EmptyBufferDone) cb.EmptyBufferDone(&omx, app, hdr);
  } else {
    if (cb.FillBufferDone) cb.FillBufferDone(&omx, app, hdr);
  }
  lk.lock();
}

void EncoderComponent::return_port_buffers(int port, std::unique_lock<std::mutex> &lk) {
  if (port == (int)kOutputPort) pending.clear();
  while (!ports[port].queued.empty()) {
    OMX_BUFFERHEADERTYPE *hdr = ports[port].queued.front();
    ports[port].queued.pop_front();
    if (port == (int)kOutputPort) {
      hdr->nFilledLen = 0;
      hdr->nOffset = 0;
      hdr->nFlags = 0;
    }
    return_buffer(port, hdr, lk);
  }
}

void EncoderComponent::run_command(const Command &c, std::unique_lock<std::mutex> &lk) {
  if (c.report_error) {  // an error noticed on a client thread, reported from here
    emit_event(OMX_EventError, c.param, 0, lk);
    return;
  }
  if (c.cmd == OMX_CommandFlush) {
    for (int p = 0; p < kPorts; p++) {
      if (c.param != OMX_ALL && c.param != (OMX_U32)p) continue;
      return_port_buffers(p, lk);
      emit_event(OMX_EventCmdComplete, OMX_CommandFlush, (OMX_U32)p, lk);
    }
    return;
  }
  OMX_STATETYPE to = (OMX_STATETYPE)c.param;
  if (to == state) {
    emit_event(OMX_EventError, (OMX_U32)OMX_ErrorSameState, 0, lk);
    return;
  }
  if (!valid_transition(state, to)) {
    emit_event(OMX_EventError, (OMX_U32)OMX_ErrorIncorrectStateTransition, 0, lk);
    return;
  }
  if ((state == OMX_StateExecuting || state == OMX_StatePause) && to == OMX_StateIdle) {
    // Everything the client handed over goes back before idle is reported; the stream restarts.
    return_port_buffers(kInputPort, lk);
    return_port_buffers(kOutputPort, lk);
    if (stream_started) stream_needs_reopen = true;
    stream_started = false;
  }
  transition_target = to;
  if (to == OMX_StateIdle && state == OMX_StateLoaded) return;  // waits for the buffers
  if (to == OMX_StateLoaded) return;                            // waits for them to be freed
  finish_transition(lk);
}

void EncoderComponent::finish_transition(std::unique_lock<std::mutex> &lk) {
  OMX_STATETYPE to = transition_target;
  transition_target = OMX_StateInvalid;
  if (state == OMX_StateLoaded && to == OMX_StateIdle) {
    populating = false;
    CodecSettings s = settings_locked();
    lk.unlock();
    std::string err = backend->open(s);
    lk.lock();
    if (!err.empty()) {
      fprintf(stderr, "%s: cannot start the codec: %s\n", name.c_str(), err.c_str());
      expected_state = OMX_StateLoaded;
      emit_event(OMX_EventError, (OMX_U32)OMX_ErrorInsufficientResources, 0, lk);
      return;
    }
    signalled_level = backend->level_idc();
    stream_started = false;
    stream_needs_reopen = false;
  } else if (state == OMX_StateIdle && to == OMX_StateLoaded) {
    depopulating = false;
    lk.unlock();
    backend->close();
    lk.lock();
    signalled_level = 0;
    pending.clear();
  }
  state = to;
  emit_event(OMX_EventCmdComplete, OMX_CommandStateSet, (OMX_U32)to, lk);
}

void EncoderComponent::encode_one(OMX_BUFFERHEADERTYPE *in, std::unique_lock<std::mutex> &lk) {
  const OMX_VIDEO_PORTDEFINITIONTYPE v = ports[kInputPort].def.format.video;
  const OMX_U32 flags = in->nFlags;
  const OMX_TICKS ts = in->nTimeStamp;
  const OMX_U32 filled = in->nFilledLen;
  const uint8_t *data = in->pBuffer + in->nOffset;
  lk.unlock();

  std::vector<EncodedUnit> units;
  OMX_ERRORTYPE error = OMX_ErrorNone;
  bool reopen_failed = false;
  if (filled > 0 && filled < input_planes_size(v)) {
    error = OMX_ErrorStreamCorrupt;  // the picture would be read past the data given
  } else if (filled > 0) {
    if (stream_needs_reopen) {
      backend->close();
      std::lock_guard<std::mutex> g(m);
      CodecSettings s = settings_locked();
      reopen_failed = !backend->open(s).empty();
    }
    if (reopen_failed) {
      error = OMX_ErrorHardware;
    } else {
      stream_needs_reopen = false;
      if (!stream_started) {
        EncodedUnit config;
        config.data = backend->headers();
        pending.push_back({std::move(config), OMX_BUFFERFLAG_CODECCONFIG | OMX_BUFFERFLAG_ENDOFFRAME});
        stream_started = true;
      }
      int h = (int)v.nFrameHeight;
      int stride = (int)VENUS_Y_STRIDE(COLOR_FMT_NV12, (int)v.nFrameWidth);
      Nv12Picture pic{data, data + (size_t)stride * VENUS_Y_SCANLINES(COLOR_FMT_NV12, h), stride};
      if (!backend->encode(pic, ts, units)) error = OMX_ErrorHardware;
    }
  }
  if (flags & OMX_BUFFERFLAG_EOS) {
    if (stream_started && backend->drain(units)) {
      stream_needs_reopen = true;
      stream_started = false;
    }
  }
  for (auto &u : units) {
    OMX_U32 f = OMX_BUFFERFLAG_ENDOFFRAME | (u.sync ? OMX_BUFFERFLAG_SYNCFRAME : 0);
    pending.push_back({std::move(u), f});
  }
  if (flags & OMX_BUFFERFLAG_EOS) {
    EncodedUnit eos;
    eos.pts = ts;
    pending.push_back({std::move(eos), OMX_BUFFERFLAG_EOS});
  }

  lk.lock();
  return_buffer(kInputPort, in, lk);
  if (error != OMX_ErrorNone) emit_event(OMX_EventError, (OMX_U32)error, 0, lk);
}

void EncoderComponent::deliver_one(std::unique_lock<std::mutex> &lk) {
  OMX_BUFFERHEADERTYPE *out = ports[kOutputPort].queued.front();
  ports[kOutputPort].queued.pop_front();
  PendingOutput po = std::move(pending.front());
  pending.pop_front();
  bool overflow = po.unit.data.size() > out->nAllocLen;
  out->nOffset = 0;
  out->nFilledLen = overflow ? 0 : (OMX_U32)po.unit.data.size();
  if (!overflow && !po.unit.data.empty()) memcpy(out->pBuffer, po.unit.data.data(), po.unit.data.size());
  out->nFlags = overflow ? (po.flags & OMX_BUFFERFLAG_EOS) : po.flags;
  out->nTimeStamp = (po.flags & OMX_BUFFERFLAG_CODECCONFIG) ? 0 : po.unit.pts;
  return_buffer(kOutputPort, out, lk);
  if (overflow) emit_event(OMX_EventError, (OMX_U32)OMX_ErrorOverflow, 0, lk);
}

}  // namespace omx_core
