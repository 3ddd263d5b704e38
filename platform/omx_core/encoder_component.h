#pragma once

// One software video encoder component with the OpenMAX IL 1.1 component interface: two ports
// (0: raw NV12 input, 1: encoded output), the Loaded/Idle/Executing/Pause state machine,
// component-allocated or client-supplied buffers, and one worker thread that encodes and delivers
// every event and buffer callback. Parameters are accepted only in the loaded state; the codec
// is opened on the way to idle and closed on the way back to loaded.

#include <OMX_Component.h>
#include <OMX_Core.h>
#include <OMX_Video.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "codec_backend.h"
#include "fault_injection.h"

namespace omx_core {

enum class Codec { AVC, HEVC };

class EncoderComponent {
 public:
  EncoderComponent(const std::string &name, Codec codec, std::unique_ptr<CodecBackend> backend,
                   const OMX_CALLBACKTYPE *callbacks, OMX_PTR app_data, const FaultPlan &faults = FaultPlan());
  ~EncoderComponent();
  EncoderComponent(const EncoderComponent &) = delete;
  EncoderComponent &operator=(const EncoderComponent &) = delete;

  OMX_COMPONENTTYPE *handle() { return &omx; }
  static EncoderComponent *from(OMX_HANDLETYPE h);

  OMX_ERRORTYPE send_command(OMX_COMMANDTYPE cmd, OMX_U32 param, OMX_PTR data);
  OMX_ERRORTYPE get_parameter(OMX_INDEXTYPE index, OMX_PTR param);
  OMX_ERRORTYPE set_parameter(OMX_INDEXTYPE index, OMX_PTR param);
  OMX_ERRORTYPE set_config(OMX_INDEXTYPE index, OMX_PTR config);
  OMX_ERRORTYPE get_state(OMX_STATETYPE *state);
  OMX_ERRORTYPE allocate_buffer(OMX_BUFFERHEADERTYPE **hdr, OMX_U32 port, OMX_PTR app_private, OMX_U32 size,
                                OMX_U8 *client_memory);
  OMX_ERRORTYPE free_buffer(OMX_U32 port, OMX_BUFFERHEADERTYPE *hdr);
  OMX_ERRORTYPE empty_this_buffer(OMX_BUFFERHEADERTYPE *hdr);
  OMX_ERRORTYPE fill_this_buffer(OMX_BUFFERHEADERTYPE *hdr);
  OMX_ERRORTYPE set_callbacks(const OMX_CALLBACKTYPE *callbacks, OMX_PTR app_data);
  OMX_ERRORTYPE get_version(OMX_STRING name, OMX_VERSIONTYPE *component, OMX_VERSIONTYPE *il_version, OMX_UUIDTYPE *uuid);

 private:
  static constexpr int kPorts = 2;

  struct Buffer {
    OMX_BUFFERHEADERTYPE hdr;
    std::unique_ptr<uint8_t[]> own_memory;  // null when the client supplied the memory
    bool with_component = false;            // between Empty/FillThisBuffer and its done callback
  };
  struct Port {
    OMX_PARAM_PORTDEFINITIONTYPE def;
    std::vector<std::unique_ptr<Buffer>> buffers;
    std::deque<OMX_BUFFERHEADERTYPE *> queued;  // handed to us, not yet used
  };
  struct Command {
    OMX_COMMANDTYPE cmd;
    OMX_U32 param;
    bool report_error;  // not a command: an error event (param) to deliver from the worker
  };
  struct PendingOutput {
    EncodedUnit unit;
    OMX_U32 flags;
  };

  // Worker thread and the steps it takes; the *_locked helpers need `m` held.
  void run();
  bool has_work_locked() const;
  bool input_allowed_locked() const;
  bool stalled_locked() const;
  bool transition_ready_locked() const;
  void run_command(const Command &c, std::unique_lock<std::mutex> &lk);
  void finish_transition(std::unique_lock<std::mutex> &lk);
  void return_port_buffers(int port, std::unique_lock<std::mutex> &lk);
  void encode_one(OMX_BUFFERHEADERTYPE *in, std::unique_lock<std::mutex> &lk);
  void deliver_one(std::unique_lock<std::mutex> &lk);
  void emit_event(OMX_EVENTTYPE ev, OMX_U32 d1, OMX_U32 d2, std::unique_lock<std::mutex> &lk);
  void return_buffer(int port, OMX_BUFFERHEADERTYPE *hdr, std::unique_lock<std::mutex> &lk);
  CodecSettings settings_locked() const;
  void update_buffer_sizes_locked();
  Buffer *find_buffer_locked(int port, OMX_BUFFERHEADERTYPE *hdr);
  OMX_ERRORTYPE queue_buffer(int port, OMX_BUFFERHEADERTYPE *hdr);

  const std::string name;
  const Codec codec;
  const FaultPlan faults;
  std::unique_ptr<CodecBackend> backend;  // used by the worker only
  OMX_COMPONENTTYPE omx{};

  std::mutex m;
  std::condition_variable cv;
  OMX_CALLBACKTYPE callbacks{};
  OMX_PTR app_data = nullptr;
  OMX_STATETYPE state = OMX_StateLoaded;
  OMX_STATETYPE expected_state = OMX_StateLoaded;  // state once every queued command has run
  OMX_STATETYPE transition_target = OMX_StateInvalid;  // a transition waiting for buffers
  bool populating = false;    // an accepted loaded→idle transition allows buffer allocation
  bool depopulating = false;  // an accepted idle→loaded transition allows freeing buffers
  bool quit = false;
  std::deque<Command> commands;
  Port ports[kPorts];
  OMX_VIDEO_PARAM_BITRATETYPE bitrate;
  OMX_VIDEO_PARAM_AVCTYPE avc;
  OMX_VIDEO_PARAM_PROFILELEVELTYPE profile_level;
  int signalled_level = 0;  // codec's level number after opening (0 while closed)
  int frames_taken = 0;     // pictures encoded since creation

  // Worker-only stream state.
  std::deque<PendingOutput> pending;
  std::atomic<bool> sync_requested{false};  // the next picture starts a new sequence
  bool stream_started = false;
  bool stream_needs_reopen = false;

  std::thread worker;
};

}  // namespace omx_core
