#include "selfdrive/orsolo/recorder.h"

#include <sys/stat.h>
#include <unistd.h>

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
                   CarInputs &inputs, ShutdownKey &shutdown, FootageCleaner &cleaner)
    : videos_base_(std::move(videos_base)),
      geometry_(geometry),
      clock_(clock),
      make_encoder_(std::move(make_encoder)),
      inputs_(inputs),
      shutdown_(shutdown),
      cleaner_(cleaner) {}

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
  const bool ignition_known = inputs_.ignition_known();
  const bool in_drive = inputs_.in_drive();

  // A rising ignition needs one earlier processed frame whose message said it was off.
  if (s_.prev_ignition_known && !s_.prev_started && started) {
    LOGW("roadrecd: ignition on \u2014 new cycle");
    if (s_.trip_open()) close_trip();
    start_new_trip();
    s_.idle_timer_start = now;
    s_.state = IDLE_TIMEOUT;
  }

  if (poll_shutdown(now)) {
    acknowledge_shutdown();
    return false;
  }

  run_state_machine(in_drive, now);
  check_reserve_if_due(now);

  if (s_.trip_open()) record(y, uv, now);

  s_.prev_started = started;
  s_.prev_ignition_known = ignition_known;
  return true;
}

bool Recorder::on_no_frame() {
  const double now = boot_seconds();
  check_reserve_if_due(now);
  if (now - last_key_read_ < IDLE_KEY_POLL_SECONDS) return true;
  last_key_read_ = now;
  if (!shutdown_.requested()) return true;
  acknowledge_shutdown();
  return false;
}

bool Recorder::poll_shutdown(double now) {
  if (s_.param_check_counter < SHUTDOWN_POLL_INTERVAL - 1) {
    s_.param_check_counter++;
    return false;
  }
  s_.param_check_counter = 0;
  last_key_read_ = now;
  return shutdown_.requested();
}

void Recorder::acknowledge_shutdown() {
  LOGW("roadrecd: shutdown requested, closing trip");
  if (s_.trip_open()) close_trip();
  shutdown_.acknowledge();
  LOGW("roadrecd: shutdown ack sent, exiting");
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

void Recorder::check_reserve_if_due(double now) {
  if (now - last_reserve_check_ < RESERVE_CHECK_SECONDS) return;
  last_reserve_check_ = now;
  cleaner_.keep_reserve(s_.trip_open() ? s_.trip_dir : "", s_.segment_open ? s_.segment_name : "");
}

void Recorder::record(const uint8_t *y, const uint8_t *uv, double now) {
  // Without an encoder or a segment the frame is dropped; the trip goes on.
  if (!have_encoder(now) || !have_segment(now)) return;

  // Rotating before encoding puts exactly FRAMES_PER_SEGMENT frames in every full segment.
  if (s_.frame_count >= FRAMES_PER_SEGMENT) {
    rotate_segment();
    if (!s_.segment_open) return;
  }

  // The writer takes a frame stamped 0 µs for a non-frame and drops it; right after a rotation
  // the fresh clock read can be under a microsecond from the segment's start.
  const uint64_t ts = std::max(clock_.nanos_since_boot() - s_.segment_start_ts, MIN_FRAME_TS_NS);
  const SegmentStatus status = s_.encoder->encode_nv12(y, geometry_.y_stride, uv, geometry_.uv_stride,
                                                       geometry_.width, geometry_.height, ts);
  switch (status) {
    case SegmentStatus::OK:
      s_.frame_count += 1;
      // A frame is taken before it is written, and a nearly full disk may take a few more: writing
      // counts as working again once a segment has recorded for a while.
      if (s_.write_fault && ts >= (uint64_t)(WRITE_RECOVERED_SECONDS * 1e9)) {
        LOGW("roadrecd: recording resumed in segment %s", s_.segment_name.c_str());
        s_.write_fault = false;
      }
      if (s_.srt_file && now - s_.last_srt_write >= 1.0) write_subtitle_entry(now);
      break;
    case SegmentStatus::WRITE_FAILED:
      on_write_failed(now);
      break;
    case SegmentStatus::ENCODER_FAILED:
      on_encoder_failed(now);
      break;
  }
}

bool Recorder::have_encoder(double now) {
  if (s_.encoder) return true;
  if (now < s_.next_encoder_attempt) return false;
  make_encoder(now);
  return s_.encoder != nullptr;
}

bool Recorder::have_segment(double now) {
  if (s_.segment_open) return true;
  if (now < s_.next_segment_attempt) return false;
  return open_segment_files();
}

void Recorder::on_write_failed(double now) {
  // The first failure tries a new segment at once, after loop recording has made what room it
  // may; while it goes on failing, a new segment is tried every few seconds.
  if (!s_.write_fault) {
    LOGW("roadrecd: segment %s cannot be written, dropping frames until there is room", s_.segment_name.c_str());
    s_.write_fault = true;
    s_.next_segment_attempt = now;
  } else {
    s_.next_segment_attempt = now + FAULT_RETRY_SECONDS;
  }
  close_segment_files();
}

void Recorder::on_encoder_failed(double now) {
  LOGW("roadrecd: encoder failed, closing trip %s and starting a new one", s_.trip_dir.c_str());
  // An encoder that fails again soon after it was made is not replaced at once, so a lasting
  // fault makes a new trip every few seconds, not on every frame.
  s_.next_encoder_attempt = std::max(now, s_.encoder_started + FAULT_RETRY_SECONDS);
  restart_trip();
}

void Recorder::start_new_trip() {
  s_.trip_dir = videos_base_ + "/" + make_timestamp(clock_.wall_time());
  mkdir(s_.trip_dir.c_str(), 0755);  // an existing directory of the same second is reused
  LOGW("roadrecd: new trip %s", s_.trip_dir.c_str());
  s_.state = RECORDING;
  s_.frame_count = 0;
  const double now = boot_seconds();
  if (now >= s_.next_encoder_attempt) make_encoder(now);
}

void Recorder::make_encoder(double now) {
  s_.encoder = make_encoder_(s_.trip_dir, geometry_.width, geometry_.height);
  if (!s_.encoder) {
    if (!s_.encoder_missing_logged) {
      LOGW("roadrecd: no encoder could be had, asking again every %.0f s", FAULT_RETRY_SECONDS);
      s_.encoder_missing_logged = true;
    }
    s_.next_encoder_attempt = now + FAULT_RETRY_SECONDS;
    return;
  }
  if (s_.encoder_missing_logged) {
    LOGW("roadrecd: encoder available again");
    s_.encoder_missing_logged = false;
  }
  s_.encoder_started = now;
  open_segment_files();
}

void Recorder::close_trip() {
  const bool had_segment = s_.segment_open;
  close_segment_files();
  if (s_.encoder) {
    if (had_segment) LOGW("roadrecd: segment closed");
    s_.encoder.reset();
  }
  rmdir(s_.trip_dir.c_str());  // only a trip that kept no file at all
  s_.state = TRIP_ENDED;
  s_.frame_count = 0;
  s_.idle_timer_start = 0;
  LOGW("roadrecd: trip ended");
}

void Recorder::restart_trip() {
  const TripState state = s_.state;
  const double idle_timer_start = s_.idle_timer_start;
  close_trip();
  start_new_trip();
  s_.state = state;
  s_.idle_timer_start = idle_timer_start;
}

void Recorder::rotate_segment() {
  close_segment_files();
  open_segment_files();
}

bool Recorder::open_segment_files() {
  const double now = boot_seconds();
  // Loop recording makes room before every segment.
  last_reserve_check_ = now;
  cleaner_.keep_reserve(s_.trip_dir, "");

  // The trip directory, or the videos directory itself, may have gone since (a card taken out
  // and put back, a user clearing footage): make them again.
  util::create_directories(s_.trip_dir, 0755);
  s_.segment_name = next_segment_name();
  // While segments cannot be written, the attempts are quiet; the first frame taken says so.
  if (!s_.write_fault) LOGW("roadrecd: opening segment %s", s_.segment_name.c_str());
  // The MP4 is opened before its subtitle file, and closed after it.
  if (!s_.encoder->open_segment(s_.segment_name + ".mp4")) {
    if (!s_.write_fault) {
      LOGW("roadrecd: segment %s cannot be opened, dropping frames until there is room", s_.segment_name.c_str());
      s_.write_fault = true;
    }
    s_.next_segment_attempt = now + FAULT_RETRY_SECONDS;
    return false;
  }
  s_.segment_open = true;
  s_.srt_file = fopen((s_.trip_dir + "/" + s_.segment_name + ".srt").c_str(), "w");
  s_.srt_index = 0;
  s_.srt_segment_sec = 0;
  s_.last_srt_write = 0;
  s_.frame_count = 0;
  s_.segment_start_ts = clock_.nanos_since_boot();
  return true;
}

void Recorder::close_segment_files() {
  close_srt_file();
  if (!s_.segment_open) return;
  s_.encoder->close_segment();
  s_.segment_open = false;
  // A segment that took no frame holds no video: neither it nor its subtitles are kept.
  if (s_.frame_count == 0) {
    const std::string base = s_.trip_dir + "/" + s_.segment_name;
    unlink((base + ".mp4").c_str());
    unlink((base + ".srt").c_str());
  }
}

void Recorder::camera_lost() { close_segment_files(); }

void Recorder::set_geometry(const FrameGeometry &geometry) {
  const bool resized = geometry.width != geometry_.width || geometry.height != geometry_.height;
  geometry_ = geometry;
  if (!resized) return;
  LOGW("roadrecd: frame size changed to %dx%d", geometry.width, geometry.height);
  if (s_.trip_open()) restart_trip();
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
  close_segment_files();
  s_.encoder.reset();
  if (s_.trip_open()) rmdir(s_.trip_dir.c_str());  // only a trip that kept no file at all
  LOGW("roadrecd: stopped");
}
