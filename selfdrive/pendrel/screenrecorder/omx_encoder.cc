#include "selfdrive/pendrel/screenrecorder/omx_encoder.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "common/exit_handler.h"
#include "common/fatal_check.h"
#include "common/swaglog.h"
#include "selfdrive/pendrel/screenrecorder/abgr_to_nv12.h"

namespace {

// Event handler, empty-buffer-done, fill-buffer-done; the application data is the encoder.
OMX_CALLBACKTYPE omx_callbacks = {OmxEncoder::event_handler, OmxEncoder::empty_buffer_done,
                                  OmxEncoder::fill_buffer_done};

// The process-wide exit flag; its state is shared by every ExitHandler of the process.
ExitHandler &exit_requested() {
  static ExitHandler handler;
  return handler;
}

template <class T>
void init_omx_struct(T &s, OMX_U32 port) {
  memset(&s, 0, sizeof(s));
  // The device's size of the structure (the headers pin it), which the component checks.
  s.nSize = sizeof(s);
  s.nPortIndex = port;
}

unsigned int y_stride(int width) {
  return VENUS_Y_STRIDE(COLOR_FMT_NV12, width);
}
unsigned int y_scanlines(int height) {
  return VENUS_Y_SCANLINES(COLOR_FMT_NV12, height);
}

std::string hex(OMX_ERRORTYPE err) {
  char text[16];
  snprintf(text, sizeof(text), "%x", (unsigned int)err);
  return text;
}

}  // namespace

// ---- Component callbacks (component threads) -------------------------------------------------

OMX_ERRORTYPE OmxEncoder::event_handler(OMX_HANDLETYPE, OMX_PTR app_data, OMX_EVENTTYPE event, OMX_U32 data1,
                                        OMX_U32 data2, OMX_PTR) {
  OmxEncoder *e = static_cast<OmxEncoder *>(app_data);
  switch (event) {
    case OMX_EventCmdComplete:
      if (data1 != OMX_CommandStateSet) {
        // Only state changes are ever asked for; anything else is noted and left alone.
        LOGE("OMX unhandled event %d (command 0x%x complete)", (int)event, (unsigned int)data1);
        break;
      }
      LOGI("set state event 0x%x", (unsigned int)data2);
      {
        std::unique_lock<std::mutex> lk(e->state_lock);
        e->state = (OMX_STATETYPE)data2;
      }
      e->state_cv.notify_all();
      break;
    case OMX_EventError:
      LOGE("OMX error 0x%08x", (unsigned int)data1);
      // Whatever went wrong inside, the stream can no longer be trusted: the encoder stops
      // taking frames and the caller starts a fresh one.
      e->note_fault(Fault::ERROR_EVENT, "reported error 0x" + hex((OMX_ERRORTYPE)data1));
      {
        std::unique_lock<std::mutex> lk(e->state_lock);
        e->error_events++;
      }
      e->state_cv.notify_all();
      break;
    default:
      LOGE("OMX unhandled event %d", (int)event);
      break;
  }
  return OMX_ErrorNone;
}

OMX_ERRORTYPE OmxEncoder::empty_buffer_done(OMX_HANDLETYPE, OMX_PTR app_data, OMX_BUFFERHEADERTYPE *buffer) {
  static_cast<OmxEncoder *>(app_data)->free_in.push(buffer);
  return OMX_ErrorNone;
}

OMX_ERRORTYPE OmxEncoder::fill_buffer_done(OMX_HANDLETYPE, OMX_PTR app_data, OMX_BUFFERHEADERTYPE *buffer) {
  static_cast<OmxEncoder *>(app_data)->done_out.push(buffer);
  return OMX_ErrorNone;
}

bool OmxEncoder::wait_for_state(OMX_STATETYPE s, int timeout_ms) {
  std::unique_lock<std::mutex> lk(state_lock);
  const int errors_before = error_events;
  bool reached = state_cv.wait_for(lk, std::chrono::milliseconds(timeout_ms),
                                   [&] { return state == s || error_events != errors_before; });
  if (state == s) return true;
  LOGE("OMX component did not reach state %d %s (state %d)", (int)s,
       reached ? "but reported an error" : ("within " + std::to_string(timeout_ms) + " ms").c_str(),
       (int)state);
  return false;
}

void OmxEncoder::note_fault(Fault f, const std::string &what) {
  Fault none = Fault::NONE;
  if (fault.compare_exchange_strong(none, f)) {
    LOGE("encoder: the OMX component failed: %s", what.c_str());
  }
}

// ---- Construction and destruction ------------------------------------------------------------

OmxEncoder::OmxEncoder(const char *path, int width, int height, int fps, int bitrate, bool h265,
                       bool downscale, SegmentWriterOptions writer_options)
    : width(width),
      height(height),
      fps(fps),
      path(path),
      writer(writer_options),
      remuxing(!h265),
      downscale(downscale) {
  FATAL_CHECK(fps > 0);  // the end-of-stream timestamp divides by it
  if (downscale) {
    y_ptr2 = static_cast<uint8_t *>(malloc((size_t)width * height));
    u_ptr2 = static_cast<uint8_t *>(malloc((size_t)width * height / 4));
    v_ptr2 = static_cast<uint8_t *>(malloc((size_t)width * height / 4));
  }

  const char *name = h265 ? "OMX.qcom.video.encoder.hevc" : "OMX.qcom.video.encoder.avc";
  OMX_ERRORTYPE err = OMX_GetHandle(&handle, (OMX_STRING)name, this, &omx_callbacks);
  if (err != OMX_ErrorNone) {
    LOGE("error getting codec: %x", (unsigned int)err);
    handle = nullptr;
    free_scratch();
    throw std::runtime_error("error getting codec: " + hex(err));
  }
  std::string why;
  if (!start_component(bitrate, h265, &why)) {
    LOGE("encoder: cannot start %s: %s", name, why.c_str());
    release_component();
    free_scratch();
    throw std::runtime_error("cannot start " + std::string(name) + ": " + why);
  }
}

// Steps of the start in order; the first one that fails says why.
bool OmxEncoder::start_component(int bitrate, bool h265, std::string *why) {
  auto ok = [why](OMX_ERRORTYPE err, const char *call) {
    if (err == OMX_ErrorNone) return true;
    *why = std::string(call) + " failed: " + hex(err);
    return false;
  };

  // Input port: the padded NV12 layout of the platform's media-info rules.
  OMX_PARAM_PORTDEFINITIONTYPE in_port;
  init_omx_struct(in_port, 0);
  if (!ok(OMX_GetParameter(handle, OMX_IndexParamPortDefinition, &in_port), "GetParameter(input port)"))
    return false;
  in_port.format.video.nFrameWidth = width;
  in_port.format.video.nFrameHeight = height;
  in_port.format.video.nStride = (OMX_S32)y_stride(width);
  in_port.format.video.nSliceHeight = height;
  in_port.format.video.xFramerate = (OMX_U32)fps << 16;
  in_port.format.video.eCompressionFormat = OMX_VIDEO_CodingUnused;
  in_port.format.video.eColorFormat = OMX_QCOM_COLOR_FormatYUV420PackedSemiPlanar32m;
  in_port.nBufferSize = VENUS_BUFFER_SIZE(COLOR_FMT_NV12, width, height);
  if (!ok(OMX_SetParameter(handle, OMX_IndexParamPortDefinition, &in_port), "SetParameter(input port)"))
    return false;
  if (!ok(OMX_GetParameter(handle, OMX_IndexParamPortDefinition, &in_port), "GetParameter(input port)"))
    return false;
  in_buf_headers.assign(in_port.nBufferCountActual, nullptr);

  // Output port: the coded stream.
  OMX_PARAM_PORTDEFINITIONTYPE out_port;
  init_omx_struct(out_port, 1);
  if (!ok(OMX_GetParameter(handle, OMX_IndexParamPortDefinition, &out_port), "GetParameter(output port)"))
    return false;
  out_port.format.video.nFrameWidth = width;
  out_port.format.video.nFrameHeight = height;
  out_port.format.video.xFramerate = 0;
  out_port.format.video.nBitrate = bitrate;
  out_port.format.video.eCompressionFormat = h265 ? OMX_VIDEO_CodingHEVC : OMX_VIDEO_CodingAVC;
  out_port.format.video.eColorFormat = OMX_COLOR_FormatUnused;
  if (!ok(OMX_SetParameter(handle, OMX_IndexParamPortDefinition, &out_port), "SetParameter(output port)"))
    return false;
  if (!ok(OMX_GetParameter(handle, OMX_IndexParamPortDefinition, &out_port), "GetParameter(output port)"))
    return false;
  out_buf_headers.assign(out_port.nBufferCountActual, nullptr);

  OMX_VIDEO_PARAM_BITRATETYPE bitrate_type;
  init_omx_struct(bitrate_type, 1);
  if (!ok(OMX_GetParameter(handle, OMX_IndexParamVideoBitrate, &bitrate_type), "GetParameter(bit rate)"))
    return false;
  bitrate_type.eControlRate = OMX_Video_ControlRateVariable;
  bitrate_type.nTargetBitrate = bitrate;
  if (!ok(OMX_SetParameter(handle, OMX_IndexParamVideoBitrate, &bitrate_type), "SetParameter(bit rate)"))
    return false;

  if (h265) {
    OMX_VIDEO_PARAM_PROFILELEVELTYPE hevc;
    init_omx_struct(hevc, 1);
    if (!ok(OMX_GetParameter(handle, OMX_IndexParamVideoProfileLevelCurrent, &hevc),
            "GetParameter(profile)")) {
      return false;
    }
    hevc.eProfile = OMX_VIDEO_HEVCProfileMain;
    hevc.eLevel = OMX_VIDEO_HEVCHighTierLevel5;
    if (!ok(OMX_SetParameter(handle, OMX_IndexParamVideoProfileLevelCurrent, &hevc),
            "SetParameter(profile)")) {
      return false;
    }
  } else {
    OMX_VIDEO_PARAM_AVCTYPE avc;
    init_omx_struct(avc, 1);
    if (!ok(OMX_GetParameter(handle, OMX_IndexParamVideoAvc, &avc), "GetParameter(AVC)")) return false;
    avc.nPFrames = 15;
    avc.nBFrames = 0;
    avc.bUseHadamard = OMX_TRUE;
    avc.nRefFrames = 1;
    avc.eProfile = OMX_VIDEO_AVCProfileHigh;
    avc.eLevel = OMX_VIDEO_AVCLevel31;
    avc.nAllowedPictureTypes |= OMX_VIDEO_PictureTypeB;
    avc.eLoopFilterMode = OMX_VIDEO_AVCLoopFilterEnable;
    avc.bEntropyCodingCABAC = OMX_TRUE;
    avc.bWeightedPPrediction = OMX_TRUE;
    avc.bconstIpred = OMX_TRUE;
    if (!ok(OMX_SetParameter(handle, OMX_IndexParamVideoAvc, &avc), "SetParameter(AVC)")) return false;
  }

  if (!ok(OMX_SendCommand(handle, OMX_CommandStateSet, OMX_StateIdle, NULL), "SendCommand(idle)"))
    return false;
  for (auto &buf : in_buf_headers) {
    if (!ok(OMX_AllocateBuffer(handle, &buf, 0, this, in_port.nBufferSize), "AllocateBuffer(input)"))
      return false;
  }
  for (auto &buf : out_buf_headers) {
    if (!ok(OMX_AllocateBuffer(handle, &buf, 1, this, out_port.nBufferSize), "AllocateBuffer(output)"))
      return false;
  }
  if (!wait_for_state(OMX_StateIdle)) {
    *why = "idle state not reached";
    return false;
  }

  if (!ok(OMX_SendCommand(handle, OMX_CommandStateSet, OMX_StateExecuting, NULL), "SendCommand(executing)")) {
    return false;
  }
  if (!wait_for_state(OMX_StateExecuting)) {
    *why = "executing state not reached";
    return false;
  }

  for (auto *buf : out_buf_headers) {
    if (!ok(OMX_FillThisBuffer(handle, buf), "FillThisBuffer")) return false;
  }
  for (auto *buf : in_buf_headers) {
    free_in.push(buf);
  }
  return true;
}

OmxEncoder::~OmxEncoder() {
  FATAL_CHECK(!this->is_open);
  release_component();
  free(codec_config);
  free_scratch();
}

// Back to the loaded state with every buffer freed, then the handle, as far as the component
// lets itself be taken there; every wait is bounded. A component that stopped answering is
// not asked for state changes it would never make: its handle is freed as it is, and the
// buffers go with it.
void OmxEncoder::release_component() {
  if (!handle) return;
  const bool answers = fault.load() != Fault::STALLED;
  OMX_STATETYPE s;
  {
    std::lock_guard<std::mutex> lk(state_lock);
    s = state;
  }
  if (answers && (s == OMX_StateExecuting || s == OMX_StatePause)) {
    if (OMX_SendCommand(handle, OMX_CommandStateSet, OMX_StateIdle, NULL) == OMX_ErrorNone &&
        wait_for_state(OMX_StateIdle)) {
      s = OMX_StateIdle;
    }
  }
  // In the loaded state (a start that went no further) the buffers are freed as they are.
  bool free_buffers = answers && (s == OMX_StateIdle || s == OMX_StateLoaded);
  bool await_loaded = false;
  if (free_buffers && s == OMX_StateIdle) {
    await_loaded = OMX_SendCommand(handle, OMX_CommandStateSet, OMX_StateLoaded, NULL) == OMX_ErrorNone;
    free_buffers = await_loaded;
  }
  if (free_buffers) {
    for (auto *buf : in_buf_headers) {
      if (buf && OMX_FreeBuffer(handle, 0, buf) != OMX_ErrorNone) LOGE("OMX FreeBuffer(input) failed");
    }
    for (auto *buf : out_buf_headers) {
      if (buf && OMX_FreeBuffer(handle, 1, buf) != OMX_ErrorNone) LOGE("OMX FreeBuffer(output) failed");
    }
    if (await_loaded) wait_for_state(OMX_StateLoaded);
  }
  OMX_ERRORTYPE err = OMX_FreeHandle(handle);
  if (err != OMX_ErrorNone) LOGE("OMX FreeHandle failed: %x", (unsigned int)err);
  handle = nullptr;

  // The headers still queued went with the component.
  OMX_BUFFERHEADERTYPE *buf;
  while (free_in.try_pop(buf, 0)) {
  }
  while (done_out.try_pop(buf, 0)) {
  }
}

void OmxEncoder::free_scratch() {
  free(y_ptr2);
  free(u_ptr2);
  free(v_ptr2);
  y_ptr2 = u_ptr2 = v_ptr2 = nullptr;
}

// ---- Frame input -----------------------------------------------------------------------------

// A free input buffer, waiting in 20 ms slices so that an exit request is seen at once; null on
// an exit request, and when the component has failed or keeps every buffer too long.
OMX_BUFFERHEADERTYPE *OmxEncoder::take_free_input() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(INPUT_TIMEOUT_MS);
  OMX_BUFFERHEADERTYPE *buf;
  while (!free_in.try_pop(buf, 20)) {
    if (exit_requested() || component_failed()) return nullptr;
    if (std::chrono::steady_clock::now() >= deadline) {
      note_fault(Fault::STALLED,
                 "returned no input buffer within " + std::to_string(INPUT_TIMEOUT_MS) + " ms");
      return nullptr;
    }
  }
  return buf;
}

bool OmxEncoder::submit_input(OMX_BUFFERHEADERTYPE *buf, uint64_t ts) {
  buf->nFilledLen = VENUS_BUFFER_SIZE(COLOR_FMT_NV12, width, height);
  buf->nOffset = 0;
  buf->nFlags = OMX_BUFFERFLAG_ENDOFFRAME;
  buf->nTimeStamp = (OMX_TICKS)(ts / 1000);
  OMX_ERRORTYPE err = OMX_EmptyThisBuffer(handle, buf);
  if (err != OMX_ErrorNone) {
    free_in.push(buf);  // the component did not take it
    note_fault(Fault::CALL_FAILED, "EmptyThisBuffer failed: " + hex(err));
    return false;
  }
  last_t = (uint64_t)buf->nTimeStamp;
  return true;
}

void OmxEncoder::drain_output() {
  OMX_BUFFERHEADERTYPE *out;
  while (done_out.try_pop(out, 0)) {
    handle_out_buf(this, out);
  }
}

int OmxEncoder::encode_frame_nv12(const uint8_t *y_ptr, int y_stride_in, const uint8_t *uv_ptr,
                                  int uv_stride_in, int in_width, int in_height, uint64_t ts) {
  if (!is_open || writer.failed() || component_failed()) return -1;
  OMX_BUFFERHEADERTYPE *buf = take_free_input();
  if (!buf) return -1;
  int ret = counter;

  // A source larger than the encoder's frame would write past the padded rows of the buffer:
  // only the encoder's own width and height are copied.
  const int copy_w = in_width < width ? in_width : width;
  const int copy_h = in_height < height ? in_height : height;
  const unsigned int stride = y_stride(width);
  uint8_t *dst_y = buf->pBuffer;
  uint8_t *dst_uv = buf->pBuffer + (size_t)stride * y_scanlines(height);
  for (int row = 0; row < copy_h; row++) {
    memcpy(dst_y + (size_t)row * stride, y_ptr + (size_t)row * y_stride_in, copy_w);
  }
  for (int row = 0; row < copy_h / 2; row++) {
    memcpy(dst_uv + (size_t)row * stride, uv_ptr + (size_t)row * uv_stride_in, copy_w);
  }

  if (!submit_input(buf, ts)) return -1;
  drain_output();
  dirty = true;
  counter++;
  return ret;
}

int OmxEncoder::encode_frame_rgba(const uint8_t *ptr, int, int, uint64_t ts) {
  if (!is_open || writer.failed() || component_failed()) return -1;
  OMX_BUFFERHEADERTYPE *buf = take_free_input();
  if (!buf) return -1;
  int ret = counter;

  const unsigned int stride = y_stride(width);
  int err = ABGRToNV12(ptr, width * 4, buf->pBuffer, stride,
                       buf->pBuffer + (size_t)stride * y_scanlines(height), stride, width, height);
  FATAL_CHECK(err == 0);  // the encoder's own frame size and buffers: never refused

  if (!submit_input(buf, ts)) return -1;
  drain_output();
  dirty = true;
  counter++;
  return ret;
}

// ---- Segments ----------------------------------------------------------------------------------

bool OmxEncoder::encoder_open(const char *filename) {
  FATAL_CHECK(!this->is_open);
  if (!writer.open(path, filename, SegmentFormat{width, height, fps, remuxing})) return false;
  request_sync_frame();
  is_open = true;
  counter = 0;
  return true;
}

// Every segment must play from its first frame on its own, so it starts with a sync frame
// rather than continuing the previous segment's group of pictures.
void OmxEncoder::request_sync_frame() {
  OMX_CONFIG_INTRAREFRESHVOPTYPE refresh;
  init_omx_struct(refresh, 1);  // the output port
  refresh.IntraRefreshVOP = OMX_TRUE;
  OMX_ERRORTYPE err = OMX_SetConfig(handle, OMX_IndexConfigVideoIntraVOPRefresh, &refresh);
  if (err != OMX_ErrorNone) {
    LOGW("encoder: sync frame request refused: %x", err);
  }
}

void OmxEncoder::store_codec_config(const uint8_t *data, size_t len) {
  if (codec_config_len < len) {
    uint8_t *grown = static_cast<uint8_t *>(realloc(codec_config, len));
    FATAL_CHECK(grown);
    codec_config = grown;
  }
  codec_config_len = len;
  memcpy(codec_config, data, len);
}

void OmxEncoder::handle_out_buf(OmxEncoder *e, OMX_BUFFERHEADERTYPE *out_buf) {
  const uint8_t *data = out_buf->pBuffer + out_buf->nOffset;
  const size_t len = out_buf->nFilledLen;

  if (out_buf->nFlags & OMX_BUFFERFLAG_CODECCONFIG) {
    e->store_codec_config(data, len);
    out_buf->nTimeStamp = 0;  // not a frame
  }

  if (!e->remuxing) {
    e->writer.write_raw(data, len);
  } else {
    if (!e->writer.header_written() && e->codec_config_len > 0) {
      e->writer.write_header(e->codec_config, e->codec_config_len);
    }
    // Only a written header makes packets writable; timestamp 0 marks configuration data.
    if (out_buf->nTimeStamp > 0 && e->writer.header_written()) {
      e->writer.write_frame(data, len, out_buf->nTimeStamp, out_buf->nFlags & OMX_BUFFERFLAG_SYNCFRAME);
    }
  }

  OMX_ERRORTYPE err = OMX_FillThisBuffer(e->handle, out_buf);
  if (err != OMX_ErrorNone) e->note_fault(Fault::CALL_FAILED, "FillThisBuffer failed: " + hex(err));
}

// End of stream one frame interval after the last frame; the component returns it on the output
// after every pending frame, so the whole segment is written before the file is finalised. A
// component that has stopped answering is not asked; one that does not answer in time is
// marked failed, and the segment ends with what came back.
void OmxEncoder::drain_to_end_of_stream() {
  const Fault f = fault.load();
  if (f == Fault::STALLED || f == Fault::CALL_FAILED) return;
  OMX_BUFFERHEADERTYPE *in_buf;
  if (!free_in.try_pop(in_buf, DRAIN_TIMEOUT_MS)) {
    note_fault(Fault::STALLED, "returned no input buffer within " + std::to_string(DRAIN_TIMEOUT_MS) + " ms");
    return;
  }
  in_buf->nFilledLen = 0;
  in_buf->nOffset = 0;
  in_buf->nFlags = OMX_BUFFERFLAG_EOS;
  in_buf->nTimeStamp = (OMX_TICKS)(last_t + 1000000 / fps);
  OMX_ERRORTYPE err = OMX_EmptyThisBuffer(handle, in_buf);
  if (err != OMX_ErrorNone) {
    free_in.push(in_buf);
    note_fault(Fault::CALL_FAILED, "EmptyThisBuffer(end of stream) failed: " + hex(err));
    return;
  }
  while (true) {
    OMX_BUFFERHEADERTYPE *out_buf;
    if (!done_out.try_pop(out_buf, DRAIN_TIMEOUT_MS)) {
      note_fault(Fault::STALLED,
                 "returned no end of stream within " + std::to_string(DRAIN_TIMEOUT_MS) + " ms");
      return;
    }
    bool eos = out_buf->nFlags & OMX_BUFFERFLAG_EOS;
    handle_out_buf(this, out_buf);
    if (eos) return;
  }
}

void OmxEncoder::encoder_close() {
  if (!is_open) return;
  if (dirty) {
    drain_to_end_of_stream();
    dirty = false;
  }
  drain_output();  // what came back anyway, after a drain that did not finish
  writer.close();
  is_open = false;
}
