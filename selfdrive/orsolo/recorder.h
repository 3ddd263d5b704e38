#pragma once

// The trip logic of the recorder: the state machine that opens and closes trips, rotates
// segments, feeds the encoder and writes one subtitle entry per second. It runs on the main
// thread, one processed frame at a time; the start-up phases and the frame source are main's.
//
// Faults never end the recording: a segment that cannot be written is closed and the next
// one is tried every few seconds, after loop recording has freed what it may; a failed encoder
// is dropped and a fresh one starts in a new trip; an encoder that cannot be had is asked for
// again every few seconds. Meanwhile frames are dropped and the trip logic runs on.

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

#include "selfdrive/orsolo/footage_cleaner.h"
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

  bool operator==(const FrameGeometry &o) const {
    return width == o.width && height == o.height && y_stride == o.y_stride && uv_stride == o.uv_stride;
  }
  bool operator!=(const FrameGeometry &o) const { return !(*this == o); }
};

// Everything the recorder remembers between frames.
struct RecorderState {
  TripState state = IDLE;
  std::unique_ptr<SegmentEncoder> encoder;  // while a trip is open, unless none could be had
  std::string trip_dir;
  std::string segment_name;  // base name of the open segment's files
  bool segment_open = false;
  int frame_count = 0;  // frames the encoder took in the current segment
  int recv_count = 0;   // frames received since start-up, never reset
  uint64_t segment_start_ts = 0;
  double idle_timer_start = 0;
  FILE *srt_file = nullptr;
  int srt_index = 0;
  int srt_segment_sec = 0;
  double last_srt_write = 0;
  bool prev_started = false;
  // The previous processed frame read the ignition from a received deviceState message: only
  // then is a rise of `started` an ignition edge ("no message yet" is not "off").
  bool prev_ignition_known = false;
  int param_check_counter = 0;

  // Fault handling (boot-clock seconds).
  double encoder_started = 0;       // when the current encoder was made
  double next_encoder_attempt = 0;  // a trip without an encoder asks for one from then on
  double next_segment_attempt = 0;  // an encoder without a segment opens one from then on
  bool write_fault = false;         // segments cannot be written: warned once, until one records again
  bool encoder_missing_logged = false;

  bool trip_open() const { return state == RECORDING || state == IDLE_TIMEOUT; }
};

class Recorder {
 public:
  // The collaborators must outlive the recorder.
  Recorder(std::string videos_base, FrameGeometry geometry, RecorderClock &clock, EncoderFactory make_encoder,
           CarInputs &inputs, ShutdownKey &shutdown, FootageCleaner &cleaner);
  ~Recorder();
  Recorder(const Recorder &) = delete;
  Recorder &operator=(const Recorder &) = delete;

  // Opens the first trip with the idle timer running: the daemon records from the moment it has
  // a camera, whatever the car is doing.
  void begin();

  // One received frame: every second one is processed. Returns false once a shutdown request has
  // been acknowledged and the loop must end.
  bool on_frame(const uint8_t *y, const uint8_t *uv);

  // A pass of the loop that brought no frame. The shutdown key is still read about once a
  // second and the free-space reserve every 10 s. Returns false like on_frame.
  bool on_no_frame();

  // The camera connection is gone: the open segment is closed, and the next processed frame
  // opens a new one in the same trip.
  void camera_lost();

  // The frames now come in another geometry. A new size closes the trip and opens a new one at
  // that size (the car's state and idle timer go on); a new stride alone changes nothing else.
  void set_geometry(const FrameGeometry &geometry);

  // The exit sequence: closes the subtitle file and finalises the open segment. Idempotent.
  void finish();

  const RecorderState &state() const { return s_; }
  const FrameGeometry &geometry() const { return geometry_; }

 private:
  bool process_frame(const uint8_t *y, const uint8_t *uv);
  bool poll_shutdown(double now);
  void acknowledge_shutdown();
  void run_state_machine(bool in_drive, double now);
  void check_reserve_if_due(double now);
  void record(const uint8_t *y, const uint8_t *uv, double now);
  bool have_encoder(double now);
  bool have_segment(double now);

  void start_new_trip();
  void close_trip();
  // Closes the open trip and opens the next one, keeping the trip state and idle timer.
  void restart_trip();
  void make_encoder(double now);
  void rotate_segment();
  bool open_segment_files();
  void close_segment_files();
  void close_srt_file();
  void write_subtitle_entry(double now);
  void on_write_failed(double now);
  void on_encoder_failed(double now);
  // The segment's base name: the current local time, made unique within the trip directory so
  // that a segment opened in the same second as an earlier one never truncates it.
  std::string next_segment_name() const;

  double boot_seconds() { return clock_.nanos_since_boot() / 1e9; }

  const std::string videos_base_;
  FrameGeometry geometry_;
  RecorderClock &clock_;
  EncoderFactory make_encoder_;
  CarInputs &inputs_;
  ShutdownKey &shutdown_;
  FootageCleaner &cleaner_;
  RecorderState s_;
  double last_key_read_ = 0;
  double last_reserve_check_ = 0;
  bool finished_ = false;
};
