#pragma once

// The trip logic of the recorder: the state machine that opens and closes trips, rotates
// segments, feeds the encoder and writes one subtitle entry per second. It runs on the main
// thread, one processed frame at a time; the start-up phases and the frame source are main's.

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

#include "selfdrive/orsolo/recorder_ports.h"

enum TripState : int32_t {
  IDLE = 0,
  RECORDING = 1,
  IDLE_TIMEOUT = 2,
  TRIP_ENDED = 3,
};

// File names and subtitles carry the wall clock, so recording waits until it is plausible:
// a UTC year of 2024 or later.
bool system_time_valid(time_t now);

struct FrameGeometry {
  int width = 0;
  int height = 0;
  int y_stride = 0;
  int uv_stride = 0;
};

// Everything the recorder remembers between frames.
struct RecorderState {
  TripState state = IDLE;
  std::unique_ptr<SegmentEncoder> encoder;  // exists exactly while a trip is open
  std::string trip_dir;
  std::string segment_name;  // base name of the open segment's files
  int frame_count = 0;       // frames given to the encoder in the current segment
  int recv_count = 0;        // frames received since start-up, never reset
  uint64_t segment_start_ts = 0;
  double idle_timer_start = 0;
  FILE *srt_file = nullptr;
  int srt_index = 0;
  int srt_segment_sec = 0;
  double last_srt_write = 0;
  bool prev_started = false;
  bool started_initialized = false;
  int param_check_counter = 0;

  bool trip_open() const { return state == RECORDING || state == IDLE_TIMEOUT; }
};

class Recorder {
 public:
  // The collaborators must outlive the recorder.
  Recorder(std::string videos_base, FrameGeometry geometry, RecorderClock &clock, EncoderFactory make_encoder,
           CarInputs &inputs, ShutdownKey &shutdown);
  ~Recorder();
  Recorder(const Recorder &) = delete;
  Recorder &operator=(const Recorder &) = delete;

  // Opens the first trip with the idle timer running: the daemon records from the moment it has
  // a camera, whatever the car is doing.
  void begin();

  // One received frame: every second one is processed. Returns false once a shutdown request has
  // been acknowledged and the loop must end.
  bool on_frame(const uint8_t *y, const uint8_t *uv);

  // The exit sequence: closes the subtitle file and finalises the open segment. Idempotent.
  void finish();

  const RecorderState &state() const { return s_; }
  const FrameGeometry &geometry() const { return geometry_; }

 private:
  bool process_frame(const uint8_t *y, const uint8_t *uv);
  bool poll_shutdown();
  void run_state_machine(bool in_drive, double now);
  void encode(const uint8_t *y, const uint8_t *uv, double now);

  void start_new_trip();
  void close_trip();
  void rotate_segment();
  void open_segment_files();
  void close_srt_file();
  void write_subtitle_entry(double now);
  // The segment's base name: the current local time, made unique within the trip directory so
  // that a segment opened in the same second as an earlier one never truncates it.
  std::string next_segment_name() const;

  double boot_seconds() { return clock_.nanos_since_boot() / 1e9; }

  const std::string videos_base_;
  const FrameGeometry geometry_;
  RecorderClock &clock_;
  EncoderFactory make_encoder_;
  CarInputs &inputs_;
  ShutdownKey &shutdown_;
  RecorderState s_;
  bool finished_ = false;
};
