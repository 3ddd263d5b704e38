// The encoder component's life: commands and the state machine, buffers, and the worker thread
// that encodes input buffers and delivers output buffers and events.

#include "encoder_component.h"

#include <cstring>

#include "omx_vendor_ext.h"

namespace omx_core {

namespace {

constexpr OMX_U32 kInputPort = 0;
constexpr OMX_U32 kOutputPort = 1;

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

// Smallest NV12 content an input buffer must carry for the port's frame size.
OMX_U32 input_planes_size(const OMX_VIDEO_PORTDEFINITIONTYPE &v) {
  int w = (int)v.nFrameWidth, h = (int)v.nFrameHeight;
  return VENUS_Y_STRIDE(COLOR_FMT_NV12, w) * (VENUS_Y_SCANLINES(COLOR_FMT_NV12, h) + VENUS_UV_SCANLINES(COLOR_FMT_NV12, h));
}

}  // namespace

EncoderComponent::EncoderComponent(const std::string &name, Codec codec, std::unique_ptr<CodecBackend> backend,
                                   const OMX_CALLBACKTYPE *cb, OMX_PTR app, const FaultPlan &faults)
    : name(name), codec(codec), faults(faults), backend(std::move(backend)) {
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
  omx.SetConfig = [](OMX_HANDLETYPE h, OMX_INDEXTYPE i, OMX_PTR c) { return from(h)->set_config(i, c); };
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
      if (to == faults.refuse_state) {  // injected: answered with an error, the state stays
        commands.push_back({cmd, (OMX_U32)OMX_ErrorInsufficientResources, true});
        lk.unlock();
        cv.notify_all();
        return OMX_ErrorNone;
      }
      // Buffer allocation and release are allowed from the moment the command is accepted, as a
      // client allocates its buffers right after asking for idle, before the component acts on it.
      if (valid_transition(expected_state, to)) {
        if (expected_state == OMX_StateLoaded && to == OMX_StateIdle) populating = true;
        if (expected_state == OMX_StateIdle && to == OMX_StateLoaded) depopulating = true;
        expected_state = to;
      }
      if (to == faults.ignore_state) return OMX_ErrorNone;  // injected: accepted, never completed
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

// An injected stall lets the frames before it come out, then nothing moves any more.
bool EncoderComponent::input_allowed_locked() const {
  return faults.stall_after_frames < 0 || frames_taken < faults.stall_after_frames;
}

bool EncoderComponent::stalled_locked() const { return !input_allowed_locked() && pending.empty(); }

bool EncoderComponent::has_work_locked() const {
  if (stalled_locked()) return false;
  if (transition_target != OMX_StateInvalid) return transition_ready_locked();
  if (!commands.empty()) return true;
  if (state != OMX_StateExecuting) return false;
  if (!pending.empty()) return !ports[kOutputPort].queued.empty();
  return !ports[kInputPort].queued.empty() && input_allowed_locked();
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
      pic.force_sync = sync_requested.exchange(false);
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
  bool injected_error = false;
  if (filled > 0 && error == OMX_ErrorNone) {
    frames_taken++;
    injected_error = frames_taken == faults.error_at_frame;
  }
  return_buffer(kInputPort, in, lk);
  if (error != OMX_ErrorNone) emit_event(OMX_EventError, (OMX_U32)error, 0, lk);
  if (injected_error) emit_event(OMX_EventError, (OMX_U32)OMX_ErrorHardware, 0, lk);
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
