#include "selfdrive/orsolo/recorder.h"

#include <sys/stat.h>

#include <algorithm>
#include <utility>

#include "common/swaglog.h"
#include "common/timing.h"
#include "common/util.h"
#include "selfdrive/orsolo/recorder_config.h"
#include "selfdrive/orsolo/trip_text.h"

namespace {

// The smallest frame timestamp that survives the encoder's division to microseconds.
constexpr uint64_t MIN_FRAME_TS_NS = 1000;

}  // namespace

bool system_time_valid(time_t now) {
  struct tm tm;
  gmtime_r(&now, &tm);
  return tm.tm_year > 123;
}

uint64_t SystemClock::nanos_since_boot() { return ::nanos_since_boot(); }
time_t SystemClock::wall_time() { return time(nullptr); }

Recorder::Recorder(std::string videos_base, FrameGeometry geometry, RecorderClock &clock, EncoderFactory make_encoder,
                   CarInputs &inputs, ShutdownKey &shutdown)
    : videos_base_(std::move(videos_base)),
      geometry_(geometry),
      clock_(clock),
      make_encoder_(std::move(make_encoder)),
      inputs_(inputs),
      shutdown_(shutdown) {}

Recorder::~Recorder() { finish(); }

void Recorder::begin() {
  start_new_trip();
  s_.idle_timer_start = boot_seconds();
  s_.state = IDLE_TIMEOUT;
  LOGW("roadrecd: recording started, waiting for drive (10-min idle timer active)");
}

bool Recorder::on_frame(const uint8_t *y, const uint8_t *uv) {
  s_.recv_count += 1;
  // The camera delivers SOURCE_FPS; keeping every second frame gives CAMERA_FPS.
  if (s_.recv_count % 2 == 1) return true;
  return process_frame(y, uv);
}

bool Recorder::process_frame(const uint8_t *y, const uint8_t *uv) {
  inputs_.update();
  const double now = boot_seconds();
  const bool started = inputs_.started();
  const bool in_drive = inputs_.in_drive();

  // A rising ignition needs one earlier processed frame that saw it off.
  if (s_.started_initialized && !s_.prev_started && started) {
    LOGW("roadrecd: ignition on \u2014 new cycle");
    if (s_.trip_open()) close_trip();
    start_new_trip();
    s_.idle_timer_start = now;
    s_.state = IDLE_TIMEOUT;
  }

  if (poll_shutdown()) {
    LOGW("roadrecd: shutdown requested, closing trip");
    if (s_.trip_open()) close_trip();
    shutdown_.acknowledge();
    LOGW("roadrecd: shutdown ack sent, exiting");
    return false;
  }

  run_state_machine(in_drive, now);

  if (s_.trip_open()) encode(y, uv, now);

  s_.prev_started = started;
  s_.started_initialized = true;
  return true;
}

bool Recorder::poll_shutdown() {
  if (s_.param_check_counter < SHUTDOWN_POLL_INTERVAL - 1) {
    s_.param_check_counter++;
    return false;
  }
  s_.param_check_counter = 0;
  return shutdown_.requested();
}

void Recorder::run_state_machine(bool in_drive, double now) {
  switch (s_.state) {
    case IDLE:
    case TRIP_ENDED:
      if (in_drive) start_new_trip();
      break;
    case RECORDING:
      if (!in_drive) {
        s_.state = IDLE_TIMEOUT;
        LOGW("roadrecd: car not in drive, starting 10-min idle timer");
        s_.idle_timer_start = now;
      }
      break;
    case IDLE_TIMEOUT:
      if (in_drive) {
        s_.state = RECORDING;
        LOGW("roadrecd: back in drive, resuming trip");
        s_.idle_timer_start = 0;
      } else if (now - s_.idle_timer_start >= IDLE_TIMEOUT_SECONDS) {
        LOGW("roadrecd: idle timeout expired");
        close_trip();
        s_.idle_timer_start = 0;
      }
      break;
  }
}

void Recorder::encode(const uint8_t *y, const uint8_t *uv, double now) {
  // Rotating before encoding puts exactly FRAMES_PER_SEGMENT frames in every full segment.
  if (s_.frame_count >= FRAMES_PER_SEGMENT) rotate_segment();

  // The writer takes a frame stamped 0 µs for a non-frame and drops it; right after a rotation
  // the fresh clock read can be under a microsecond from the segment's start.
  const uint64_t ts = std::max(clock_.nanos_since_boot() - s_.segment_start_ts, MIN_FRAME_TS_NS);
  s_.encoder->encode_nv12(y, geometry_.y_stride, uv, geometry_.uv_stride, geometry_.width, geometry_.height, ts);
  s_.frame_count += 1;

  if (s_.srt_file && now - s_.last_srt_write >= 1.0) write_subtitle_entry(now);
}

void Recorder::start_new_trip() {
  s_.trip_dir = videos_base_ + "/" + make_timestamp(clock_.wall_time());
  mkdir(s_.trip_dir.c_str(), 0755);  // an existing directory of the same second is reused
  LOGW("roadrecd: new trip %s", s_.trip_dir.c_str());
  s_.encoder = make_encoder_(s_.trip_dir, geometry_.width, geometry_.height);
  open_segment_files();
  s_.state = RECORDING;
}

void Recorder::close_trip() {
  close_srt_file();
  if (s_.encoder) {
    s_.encoder->close_segment();
    LOGW("roadrecd: segment closed");
    s_.encoder.reset();
  }
  s_.state = TRIP_ENDED;
  s_.frame_count = 0;
  s_.idle_timer_start = 0;
  LOGW("roadrecd: trip ended");
}

void Recorder::rotate_segment() {
  close_srt_file();
  s_.encoder->close_segment();
  open_segment_files();
}

void Recorder::open_segment_files() {
  s_.segment_name = next_segment_name();
  LOGW("roadrecd: opening segment %s", s_.segment_name.c_str());
  // The MP4 is opened before its subtitle file, and closed after it.
  s_.encoder->open_segment(s_.segment_name + ".mp4");
  s_.srt_file = fopen((s_.trip_dir + "/" + s_.segment_name + ".srt").c_str(), "w");
  s_.srt_index = 0;
  s_.srt_segment_sec = 0;
  s_.last_srt_write = 0;
  s_.frame_count = 0;
  s_.segment_start_ts = clock_.nanos_since_boot();
}

std::string Recorder::next_segment_name() const {
  const std::string base = make_timestamp(clock_.wall_time());
  const std::string dir = s_.trip_dir + "/";
  auto taken = [&](const std::string &name) {
    return util::file_exists(dir + name + ".mp4") || util::file_exists(dir + name + ".mp4.lock") ||
           util::file_exists(dir + name + ".srt");
  };
  std::string name = base;
  for (int n = 1; taken(name); n++) name = base + "_" + std::to_string(n);
  return name;
}

void Recorder::close_srt_file() {
  if (s_.srt_file) {
    fclose(s_.srt_file);
    s_.srt_file = nullptr;
  }
}

void Recorder::write_subtitle_entry(double now) {
  s_.last_srt_write = now;
  s_.srt_index += 1;
  const GpsFix gps = inputs_.gps();
  const std::string utc = make_utc_timestamp(clock_.wall_time());
  // Entry times count entries, not elapsed time: entry n always spans n-1 to n seconds.
  const std::string t_start = srt_time(s_.srt_segment_sec);
  const std::string t_end = srt_time(s_.srt_segment_sec + 1);
  s_.srt_segment_sec += 1;
  write_srt_entry(s_.srt_file, s_.srt_index, t_start, t_end, gps, utc);
  fflush(s_.srt_file);
}

void Recorder::finish() {
  if (finished_) return;
  finished_ = true;
  close_srt_file();
  if (s_.encoder) {
    if (s_.trip_open()) s_.encoder->close_segment();
    s_.encoder.reset();
  }
  LOGW("roadrecd: stopped");
}
