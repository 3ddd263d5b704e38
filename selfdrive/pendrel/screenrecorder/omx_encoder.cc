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
  // nSize is the structure's size as compiled here, which the component checks.
  s.nSize = sizeof(s);
  s.nPortIndex = port;
}

unsigned int y_stride(int width) { return VENUS_Y_STRIDE(COLOR_FMT_NV12, width); }
unsigned int y_scanlines(int height) { return VENUS_Y_SCANLINES(COLOR_FMT_NV12, height); }

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

void OmxEncoder::wait_for_state(OMX_STATETYPE s) {
  std::unique_lock<std::mutex> lk(state_lock);
  bool reached = state_cv.wait_for(lk, std::chrono::milliseconds(STATE_TIMEOUT_MS), [&] { return state == s; });
  if (!reached) {
    // A component that never reports the state would otherwise hang the recorder for good.
    LOGE("OMX component did not reach state %d within %d ms (state %d)", (int)s, STATE_TIMEOUT_MS, (int)state);
    fprintf(stderr, "OMX component did not reach state %d within %d ms (state %d)\n", (int)s, STATE_TIMEOUT_MS,
            (int)state);
    abort();
  }
}

// ---- Construction and destruction ------------------------------------------------------------

OmxEncoder::OmxEncoder(const char *path, int width, int height, int fps, int bitrate, bool h265, bool downscale)
    : width(width), height(height), fps(fps), path(path), remuxing(!h265), downscale(downscale) {
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
    free(y_ptr2);
    free(u_ptr2);
    free(v_ptr2);
    char msg[128];
    snprintf(msg, sizeof(msg), "error getting codec: %x", (unsigned int)err);
    throw std::runtime_error(msg);
  }

  // Input port: the padded NV12 layout of the platform's media-info rules.
  OMX_PARAM_PORTDEFINITIONTYPE in_port;
  init_omx_struct(in_port, 0);
  FATAL_CHECK(OMX_GetParameter(handle, OMX_IndexParamPortDefinition, &in_port) == OMX_ErrorNone);
  in_port.format.video.nFrameWidth = width;
  in_port.format.video.nFrameHeight = height;
  in_port.format.video.nStride = (OMX_S32)y_stride(width);
  in_port.format.video.nSliceHeight = height;
  in_port.format.video.xFramerate = (OMX_U32)fps << 16;
  in_port.format.video.eCompressionFormat = OMX_VIDEO_CodingUnused;
  in_port.format.video.eColorFormat = OMX_QCOM_COLOR_FormatYUV420PackedSemiPlanar32m;
  in_port.nBufferSize = VENUS_BUFFER_SIZE(COLOR_FMT_NV12, width, height);
  FATAL_CHECK(OMX_SetParameter(handle, OMX_IndexParamPortDefinition, &in_port) == OMX_ErrorNone);
  FATAL_CHECK(OMX_GetParameter(handle, OMX_IndexParamPortDefinition, &in_port) == OMX_ErrorNone);
  in_buf_headers.resize(in_port.nBufferCountActual);

  // Output port: the coded stream.
  OMX_PARAM_PORTDEFINITIONTYPE out_port;
  init_omx_struct(out_port, 1);
  FATAL_CHECK(OMX_GetParameter(handle, OMX_IndexParamPortDefinition, &out_port) == OMX_ErrorNone);
  out_port.format.video.nFrameWidth = width;
  out_port.format.video.nFrameHeight = height;
  out_port.format.video.xFramerate = 0;
  out_port.format.video.nBitrate = bitrate;
  out_port.format.video.eCompressionFormat = h265 ? OMX_VIDEO_CodingHEVC : OMX_VIDEO_CodingAVC;
  out_port.format.video.eColorFormat = OMX_COLOR_FormatUnused;
  FATAL_CHECK(OMX_SetParameter(handle, OMX_IndexParamPortDefinition, &out_port) == OMX_ErrorNone);
  FATAL_CHECK(OMX_GetParameter(handle, OMX_IndexParamPortDefinition, &out_port) == OMX_ErrorNone);
  out_buf_headers.resize(out_port.nBufferCountActual);

  OMX_VIDEO_PARAM_BITRATETYPE bitrate_type;
  init_omx_struct(bitrate_type, 1);
  FATAL_CHECK(OMX_GetParameter(handle, OMX_IndexParamVideoBitrate, &bitrate_type) == OMX_ErrorNone);
  bitrate_type.eControlRate = OMX_Video_ControlRateVariable;
  bitrate_type.nTargetBitrate = bitrate;
  FATAL_CHECK(OMX_SetParameter(handle, OMX_IndexParamVideoBitrate, &bitrate_type) == OMX_ErrorNone);

  if (h265) {
    OMX_VIDEO_PARAM_PROFILELEVELTYPE hevc;
    init_omx_struct(hevc, 1);
    FATAL_CHECK(OMX_GetParameter(handle, OMX_IndexParamVideoProfileLevelCurrent, &hevc) == OMX_ErrorNone);
    hevc.eProfile = OMX_VIDEO_HEVCProfileMain;
    hevc.eLevel = OMX_VIDEO_HEVCHighTierLevel5;
    FATAL_CHECK(OMX_SetParameter(handle, OMX_IndexParamVideoProfileLevelCurrent, &hevc) == OMX_ErrorNone);
  } else {
    OMX_VIDEO_PARAM_AVCTYPE avc;
    init_omx_struct(avc, 1);
    FATAL_CHECK(OMX_GetParameter(handle, OMX_IndexParamVideoAvc, &avc) == OMX_ErrorNone);
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
    FATAL_CHECK(OMX_SetParameter(handle, OMX_IndexParamVideoAvc, &avc) == OMX_ErrorNone);
  }

  FATAL_CHECK(OMX_SendCommand(handle, OMX_CommandStateSet, OMX_StateIdle, NULL) == OMX_ErrorNone);
  for (auto &buf : in_buf_headers) {
    FATAL_CHECK(OMX_AllocateBuffer(handle, &buf, 0, this, in_port.nBufferSize) == OMX_ErrorNone);
  }
  for (auto &buf : out_buf_headers) {
    FATAL_CHECK(OMX_AllocateBuffer(handle, &buf, 1, this, out_port.nBufferSize) == OMX_ErrorNone);
  }
  wait_for_state(OMX_StateIdle);

  FATAL_CHECK(OMX_SendCommand(handle, OMX_CommandStateSet, OMX_StateExecuting, NULL) == OMX_ErrorNone);
  wait_for_state(OMX_StateExecuting);

  for (auto *buf : out_buf_headers) {
    FATAL_CHECK(OMX_FillThisBuffer(handle, buf) == OMX_ErrorNone);
  }
  for (auto *buf : in_buf_headers) {
    free_in.push(buf);
  }
}

OmxEncoder::~OmxEncoder() {
  FATAL_CHECK(!this->is_open);

  FATAL_CHECK(OMX_SendCommand(handle, OMX_CommandStateSet, OMX_StateIdle, NULL) == OMX_ErrorNone);
  wait_for_state(OMX_StateIdle);
  FATAL_CHECK(OMX_SendCommand(handle, OMX_CommandStateSet, OMX_StateLoaded, NULL) == OMX_ErrorNone);
  for (auto *buf : in_buf_headers) {
    FATAL_CHECK(OMX_FreeBuffer(handle, 0, buf) == OMX_ErrorNone);
  }
  for (auto *buf : out_buf_headers) {
    FATAL_CHECK(OMX_FreeBuffer(handle, 1, buf) == OMX_ErrorNone);
  }
  wait_for_state(OMX_StateLoaded);
  FATAL_CHECK(OMX_FreeHandle(handle) == OMX_ErrorNone);

  // The headers still queued went with the component.
  OMX_BUFFERHEADERTYPE *buf;
  while (free_in.try_pop(buf, 0)) {
  }
  while (done_out.try_pop(buf, 0)) {
  }

  free(codec_config);
  free(y_ptr2);
  free(u_ptr2);
  free(v_ptr2);
}

// ---- Frame input -----------------------------------------------------------------------------

OMX_BUFFERHEADERTYPE *OmxEncoder::take_free_input() {
  OMX_BUFFERHEADERTYPE *buf;
  while (!free_in.try_pop(buf, 20)) {
    if (exit_requested()) return nullptr;
  }
  return buf;
}

void OmxEncoder::submit_input(OMX_BUFFERHEADERTYPE *buf, uint64_t ts) {
  buf->nFilledLen = VENUS_BUFFER_SIZE(COLOR_FMT_NV12, width, height);
  buf->nOffset = 0;
  buf->nFlags = OMX_BUFFERFLAG_ENDOFFRAME;
  buf->nTimeStamp = (OMX_TICKS)(ts / 1000);
  last_t = (uint64_t)buf->nTimeStamp;
  FATAL_CHECK(OMX_EmptyThisBuffer(handle, buf) == OMX_ErrorNone);
}

void OmxEncoder::drain_output() {
  OMX_BUFFERHEADERTYPE *out;
  while (done_out.try_pop(out, 0)) {
    handle_out_buf(this, out);
  }
}

int OmxEncoder::encode_frame_nv12(const uint8_t *y_ptr, int y_stride_in, const uint8_t *uv_ptr, int uv_stride_in,
                                  int in_width, int in_height, uint64_t ts) {
  if (!is_open) return -1;
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

  submit_input(buf, ts);
  drain_output();
  dirty = true;
  counter++;
  return ret;
}

int OmxEncoder::encode_frame_rgba(const uint8_t *ptr, int, int, uint64_t ts) {
  if (!is_open) return -1;
  OMX_BUFFERHEADERTYPE *buf = take_free_input();
  if (!buf) return -1;
  int ret = counter;

  const unsigned int stride = y_stride(width);
  int err = ABGRToNV12(ptr, width * 4, buf->pBuffer, stride, buf->pBuffer + (size_t)stride * y_scanlines(height),
                       stride, width, height);
  FATAL_CHECK(err == 0);

  submit_input(buf, ts);
  drain_output();
  dirty = true;
  counter++;
  return ret;
}

// ---- Segments ----------------------------------------------------------------------------------

void OmxEncoder::encoder_open(const char *filename) {
  writer.open(path, filename, SegmentFormat{width, height, fps, remuxing});
  request_sync_frame();
  is_open = true;
  counter = 0;
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

  FATAL_CHECK(OMX_FillThisBuffer(e->handle, out_buf) == OMX_ErrorNone);
}

// End of stream one frame interval after the last frame; the component returns it on the output
// after every pending frame, so the whole segment is written before the file is finalised.
void OmxEncoder::drain_to_end_of_stream() {
  OMX_BUFFERHEADERTYPE *in_buf;
  if (!free_in.try_pop(in_buf, DRAIN_TIMEOUT_MS)) {
    LOGE("OMX component returned no input buffer within %d ms", DRAIN_TIMEOUT_MS);
    fprintf(stderr, "OMX component returned no input buffer within %d ms\n", DRAIN_TIMEOUT_MS);
    abort();
  }
  in_buf->nFilledLen = 0;
  in_buf->nOffset = 0;
  in_buf->nFlags = OMX_BUFFERFLAG_EOS;
  in_buf->nTimeStamp = (OMX_TICKS)(last_t + 1000000 / fps);
  FATAL_CHECK(OMX_EmptyThisBuffer(handle, in_buf) == OMX_ErrorNone);

  while (true) {
    OMX_BUFFERHEADERTYPE *out_buf;
    if (!done_out.try_pop(out_buf, DRAIN_TIMEOUT_MS)) {
      LOGE("OMX component returned no end of stream within %d ms", DRAIN_TIMEOUT_MS);
      fprintf(stderr, "OMX component returned no end of stream within %d ms\n", DRAIN_TIMEOUT_MS);
      abort();
    }
    bool eos = out_buf->nFlags & OMX_BUFFERFLAG_EOS;
    handle_out_buf(this, out_buf);
    if (eos) break;
  }
}

void OmxEncoder::encoder_close() {
  if (!is_open) return;
  if (dirty) {
    drain_to_end_of_stream();
    dirty = false;
  }
  writer.close();
  is_open = false;
}
