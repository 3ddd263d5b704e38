#pragma once

// OmxEncoder drives one OpenMAX IL video encoder component (H.264 or HEVC) and hands what it
// produces to a SegmentWriter, one output segment after another: MP4 files for H.264, raw
// elementary streams for HEVC. The component runs from construction to destruction; segments come
// and go on it with encoder_open / encoder_close. Every call is made from one application thread;
// the component's callbacks only record state and queue buffers for that thread.
//
// Calling order: construct → (encoder_open → encode_frame_* … → encoder_close)* → destroy.
//
// A component that misbehaves never stops the process and never holds the caller for long:
// every wait for it is bounded. A component that stops returning buffers, fails a call, refuses
// or never completes a state change, or reports an error event is marked failed
// (component_failed()); from then on frames are refused, encoder_close finishes the segment with
// what reached the writer, and the destructor releases the component as far as it lets itself be
// released. A failed encoder is not used again: the caller destroys it and makes a new one.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <OMX_Component.h>
#include <OMX_Core.h>

#include "common/queue.h"
#include "omx_vendor_ext.h"
#include "selfdrive/pendrel/screenrecorder/mp4_segment_writer.h"

class OmxEncoder {
 public:
  // Creates the component and starts it: on return it is executing, every output buffer is
  // with the component and every input buffer is free. No segment is open. `fps` must be
  // positive. Throws std::runtime_error (logged) when no component can be had or the one given
  // cannot be set up and started; nothing is left behind then.
  OmxEncoder(const char *path, int width, int height, int fps, int bitrate, bool h265, bool downscale,
             SegmentWriterOptions writer_options = {});
  // Stops and releases the component, within bounded time. The segment must have been closed.
  ~OmxEncoder();
  OmxEncoder(const OmxEncoder &) = delete;
  OmxEncoder &operator=(const OmxEncoder &) = delete;

  // Submits one NV12 frame; `ts` in nanoseconds since the segment was opened. Returns the
  // frame's number within the open segment, or -1 when the frame was not taken: no segment is
  // open, the segment's file failed (write_failed()), the component failed (component_failed()),
  // or an exit was requested while waiting for a free input buffer.
  int encode_frame_nv12(const uint8_t *y_ptr, int y_stride, const uint8_t *uv_ptr, int uv_stride,
                        int in_width, int in_height, uint64_t ts);
  // The same for a frame of 4 bytes per pixel, R G B A in memory, `width` × `height` of the
  // encoder (in_width and in_height are not used).
  int encode_frame_rgba(const uint8_t *ptr, int in_width, int in_height, uint64_t ts);

  // Starts the segment `path`/`filename` and its lock file `path`/`filename`.lock, and asks the
  // component for a sync frame so that the segment plays from its first frame on its own.
  // False (logged) when the files cannot be made.
  bool encoder_open(const char *filename);
  // Drains the component with an end-of-stream buffer, so every frame still in it is written,
  // then finalises the segment and removes its lock file. After a fault it finishes what reached
  // the writer. Harmless when no segment is open.
  void encoder_close();

  bool component_failed() const { return fault.load() != Fault::NONE; }
  bool write_failed() const { return writer.failed(); }

  // Component callbacks (component threads): they only record the state or queue the buffer.
  static OMX_ERRORTYPE event_handler(OMX_HANDLETYPE component, OMX_PTR app_data, OMX_EVENTTYPE event,
                                     OMX_U32 data1, OMX_U32 data2, OMX_PTR event_data);
  static OMX_ERRORTYPE empty_buffer_done(OMX_HANDLETYPE component, OMX_PTR app_data,
                                         OMX_BUFFERHEADERTYPE *buffer);
  static OMX_ERRORTYPE fill_buffer_done(OMX_HANDLETYPE component, OMX_PTR app_data,
                                        OMX_BUFFERHEADERTYPE *buffer);
  // Hands one filled output buffer to the segment writer and gives it back to the component
  // (application thread).
  static void handle_out_buf(OmxEncoder *e, OMX_BUFFERHEADERTYPE *out_buf);

  // Waits until the component reports state `s`. False when it has not after `timeout_ms`, or
  // when it reports an error meanwhile.
  bool wait_for_state(OMX_STATETYPE s, int timeout_ms = STATE_TIMEOUT_MS);

  // Bounds of the waits for the component: a state change, a free input buffer while frames
  // flow, and the end of stream when a segment closes.
  static constexpr int STATE_TIMEOUT_MS = 5000;
  static constexpr int INPUT_TIMEOUT_MS = 2000;
  static constexpr int DRAIN_TIMEOUT_MS = 3000;

  int width, height;
  int fps;
  bool is_open = false;
  bool dirty = false;
  int counter = 0;
  std::string path;

  // The component's last parameter sets, kept for the life of the encoder: a later segment takes
  // its header from them when the component sends none.
  size_t codec_config_len = 0;
  uint8_t *codec_config = nullptr;

  std::mutex state_lock;
  std::condition_variable state_cv;
  OMX_STATETYPE state = OMX_StateLoaded;
  int error_events = 0;  // error events reported so far (under state_lock)

  OMX_HANDLETYPE handle = nullptr;

  std::vector<OMX_BUFFERHEADERTYPE *> in_buf_headers;
  std::vector<OMX_BUFFERHEADERTYPE *> out_buf_headers;

  uint64_t last_t = 0;

  SafeQueue<OMX_BUFFERHEADERTYPE *> free_in;
  SafeQueue<OMX_BUFFERHEADERTYPE *> done_out;

  SegmentWriter writer;
  bool remuxing;  // MP4 (H.264); false: raw stream (HEVC)

  bool downscale;
  uint8_t *y_ptr2 = nullptr, *u_ptr2 = nullptr, *v_ptr2 = nullptr;

 private:
  // How the component failed, if it did. The first fault found is kept.
  enum class Fault { NONE, ERROR_EVENT, STALLED, CALL_FAILED };

  bool start_component(int bitrate, bool h265, std::string *why);
  void release_component();
  void note_fault(Fault f, const std::string &what);
  OMX_BUFFERHEADERTYPE *take_free_input();
  bool submit_input(OMX_BUFFERHEADERTYPE *buf, uint64_t ts);
  void drain_output();
  void drain_to_end_of_stream();
  void request_sync_frame();
  void store_codec_config(const uint8_t *data, size_t len);
  void free_scratch();

  std::atomic<Fault> fault{Fault::NONE};
};
