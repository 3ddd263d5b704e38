#pragma once

// A minimal OpenMAX IL client for the component tests: records every event and every returned
// buffer, with the thread that delivered it, and lets the test await them with a time limit.

#include <OMX_Component.h>
#include <OMX_Core.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "omx_vendor_ext.h"

struct OmxEvent {
  OMX_EVENTTYPE type;
  OMX_U32 data1, data2;
};

class OmxClient {
 public:
  explicit OmxClient(const char *name = "OMX.qcom.video.encoder.avc") {
    callbacks = {&OmxClient::on_event, &OmxClient::on_empty_done, &OmxClient::on_fill_done};
    get_handle_result = OMX_GetHandle(&handle, (OMX_STRING)name, this, &callbacks);
  }
  ~OmxClient() {
    if (handle) OMX_FreeHandle(handle);
  }
  OmxClient(const OmxClient &) = delete;
  OmxClient &operator=(const OmxClient &) = delete;

  template <class T>
  static void init(T &s, OMX_U32 port) {
    memset(&s, 0, sizeof(s));
    s.nSize = sizeof(s);
    s.nPortIndex = port;
  }

  // Sets both ports up for `w`×`h` NV12 at `fps`, read back into in_def / out_def.
  OMX_ERRORTYPE configure(int w, int h, int fps, int bitrate) {
    init(in_def, 0);
    OMX_ERRORTYPE err = OMX_GetParameter(handle, OMX_IndexParamPortDefinition, &in_def);
    if (err != OMX_ErrorNone) return err;
    in_def.format.video.nFrameWidth = w;
    in_def.format.video.nFrameHeight = h;
    in_def.format.video.nStride = (OMX_S32)VENUS_Y_STRIDE(COLOR_FMT_NV12, w);
    in_def.format.video.nSliceHeight = h;
    in_def.format.video.xFramerate = (OMX_U32)fps << 16;
    in_def.format.video.eColorFormat = OMX_QCOM_COLOR_FormatYUV420PackedSemiPlanar32m;
    if ((err = OMX_SetParameter(handle, OMX_IndexParamPortDefinition, &in_def)) != OMX_ErrorNone) return err;
    if ((err = OMX_GetParameter(handle, OMX_IndexParamPortDefinition, &in_def)) != OMX_ErrorNone) return err;
    init(out_def, 1);
    if ((err = OMX_GetParameter(handle, OMX_IndexParamPortDefinition, &out_def)) != OMX_ErrorNone) return err;
    out_def.format.video.nBitrate = bitrate;
    if ((err = OMX_SetParameter(handle, OMX_IndexParamPortDefinition, &out_def)) != OMX_ErrorNone) return err;
    return OMX_GetParameter(handle, OMX_IndexParamPortDefinition, &out_def);
  }

  // Asks for idle and allocates every buffer; true once idle is reported.
  bool to_idle() {
    if (OMX_SendCommand(handle, OMX_CommandStateSet, OMX_StateIdle, NULL) != OMX_ErrorNone) return false;
    if (!allocate(0, in_def.nBufferCountActual, in_def.nBufferSize, in)) return false;
    if (!allocate(1, out_def.nBufferCountActual, out_def.nBufferSize, out)) return false;
    return await_state(OMX_StateIdle);
  }
  bool allocate(OMX_U32 port, OMX_U32 n, OMX_U32 size, std::vector<OMX_BUFFERHEADERTYPE *> &v) {
    for (OMX_U32 i = 0; i < n; i++) {
      OMX_BUFFERHEADERTYPE *b = nullptr;
      if (OMX_AllocateBuffer(handle, &b, port, this, size) != OMX_ErrorNone) return false;
      v.push_back(b);
    }
    return true;
  }
  bool to_executing() {
    return OMX_SendCommand(handle, OMX_CommandStateSet, OMX_StateExecuting, NULL) == OMX_ErrorNone &&
           await_state(OMX_StateExecuting);
  }
  // Back to loaded with every buffer freed.
  bool to_loaded() {
    OMX_STATETYPE s;
    OMX_GetState(handle, &s);
    if (s == OMX_StateExecuting) {
      if (OMX_SendCommand(handle, OMX_CommandStateSet, OMX_StateIdle, NULL) != OMX_ErrorNone) return false;
      if (!await_state(OMX_StateIdle)) return false;
    }
    if (OMX_SendCommand(handle, OMX_CommandStateSet, OMX_StateLoaded, NULL) != OMX_ErrorNone) return false;
    for (auto *b : in) OMX_FreeBuffer(handle, 0, b);
    for (auto *b : out) OMX_FreeBuffer(handle, 1, b);
    in.clear();
    out.clear();
    return await_state(OMX_StateLoaded);
  }

  // Waits for the next event matching `type` (and data1 unless ~0), consuming earlier ones.
  bool await_event(OMX_EVENTTYPE type, OMX_U32 data1, OmxEvent *got = nullptr, int timeout_ms = 5000) {
    std::unique_lock<std::mutex> lk(m);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (true) {
      while (!events.empty()) {
        OmxEvent e = events.front();
        events.pop_front();
        if (e.type == type && (data1 == ~(OMX_U32)0 || e.data1 == data1)) {
          if (got) *got = e;
          return true;
        }
      }
      if (cv.wait_until(lk, deadline) == std::cv_status::timeout && events.empty()) return false;
    }
  }
  bool await_state(OMX_STATETYPE s) {
    OmxEvent e;
    return await_event(OMX_EventCmdComplete, OMX_CommandStateSet, &e) && e.data2 == (OMX_U32)s;
  }

  // Waits for the next returned buffer of a port.
  OMX_BUFFERHEADERTYPE *await_buffer(int port, int timeout_ms = 5000) {
    std::unique_lock<std::mutex> lk(m);
    auto &q = port == 0 ? emptied : filled;
    if (!cv.wait_for(lk, std::chrono::milliseconds(timeout_ms), [&] { return !q.empty(); })) return nullptr;
    OMX_BUFFERHEADERTYPE *b = q.front();
    q.pop_front();
    return b;
  }

  size_t returned(int port) {
    std::lock_guard<std::mutex> lk(m);
    return port == 0 ? emptied.size() : filled.size();
  }
  bool callbacks_on_test_thread() {
    std::lock_guard<std::mutex> lk(m);
    return on_test_thread;
  }

  OMX_HANDLETYPE handle = nullptr;
  OMX_ERRORTYPE get_handle_result;
  OMX_PARAM_PORTDEFINITIONTYPE in_def, out_def;
  std::vector<OMX_BUFFERHEADERTYPE *> in, out;

 private:
  void note_thread() {
    if (std::this_thread::get_id() == test_thread) on_test_thread = true;
  }
  static OMX_ERRORTYPE on_event(OMX_HANDLETYPE, OMX_PTR app, OMX_EVENTTYPE ev, OMX_U32 d1, OMX_U32 d2, OMX_PTR) {
    auto *c = static_cast<OmxClient *>(app);
    {
      std::lock_guard<std::mutex> lk(c->m);
      c->note_thread();
      c->events.push_back({ev, d1, d2});
    }
    c->cv.notify_all();
    return OMX_ErrorNone;
  }
  static OMX_ERRORTYPE on_empty_done(OMX_HANDLETYPE, OMX_PTR app, OMX_BUFFERHEADERTYPE *b) {
    auto *c = static_cast<OmxClient *>(app);
    {
      std::lock_guard<std::mutex> lk(c->m);
      c->note_thread();
      c->emptied.push_back(b);
    }
    c->cv.notify_all();
    return OMX_ErrorNone;
  }
  static OMX_ERRORTYPE on_fill_done(OMX_HANDLETYPE, OMX_PTR app, OMX_BUFFERHEADERTYPE *b) {
    auto *c = static_cast<OmxClient *>(app);
    {
      std::lock_guard<std::mutex> lk(c->m);
      c->note_thread();
      c->filled.push_back(b);
    }
    c->cv.notify_all();
    return OMX_ErrorNone;
  }

  OMX_CALLBACKTYPE callbacks;
  std::mutex m;
  std::condition_variable cv;
  std::deque<OmxEvent> events;
  std::deque<OMX_BUFFERHEADERTYPE *> emptied, filled;
  std::thread::id test_thread = std::this_thread::get_id();
  bool on_test_thread = false;
};

// Paints a moving picture into an input buffer in the padded NV12 layout and submits it.
inline OMX_ERRORTYPE submit_frame(OmxClient &c, OMX_BUFFERHEADERTYPE *b, int index, OMX_TICKS ts, OMX_U32 flags = OMX_BUFFERFLAG_ENDOFFRAME) {
  const int w = (int)c.in_def.format.video.nFrameWidth, h = (int)c.in_def.format.video.nFrameHeight;
  const int stride = (int)VENUS_Y_STRIDE(COLOR_FMT_NV12, w);
  uint8_t *uv = b->pBuffer + (size_t)stride * VENUS_Y_SCANLINES(COLOR_FMT_NV12, h);
  for (int r = 0; r < h; r++) {
    for (int x = 0; x < w; x++) b->pBuffer[(size_t)r * stride + x] = (uint8_t)((x + index * 5) ^ (r - index * 3));
  }
  for (int r = 0; r < h / 2; r++) {
    for (int x = 0; x < w; x++) uv[(size_t)r * stride + x] = (uint8_t)(100 + ((x + r + index) & 31));
  }
  b->nFilledLen = VENUS_BUFFER_SIZE(COLOR_FMT_NV12, w, h);
  b->nOffset = 0;
  b->nFlags = flags;
  b->nTimeStamp = ts;
  return OMX_EmptyThisBuffer(c.handle, b);
}

inline OMX_ERRORTYPE submit_eos(OmxClient &c, OMX_BUFFERHEADERTYPE *b, OMX_TICKS ts) {
  b->nFilledLen = 0;
  b->nOffset = 0;
  b->nFlags = OMX_BUFFERFLAG_EOS;
  b->nTimeStamp = ts;
  return OMX_EmptyThisBuffer(c.handle, b);
}

// Runs a configured component to executing with every output buffer handed over.
inline void start(OmxClient &c) {
  ASSERT_TRUE(c.to_idle());
  ASSERT_TRUE(c.to_executing());
  for (auto *b : c.out) ASSERT_EQ(OMX_FillThisBuffer(c.handle, b), OMX_ErrorNone);
}

