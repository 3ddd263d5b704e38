// The output half of the encoder: segment files, their lock files and journals, and the coded
// pictures written into an MP4 (H.264) or a raw elementary stream (HEVC).

#include "selfdrive/pendrel/screenrecorder/mp4_segment_writer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "common/fatal_check.h"
#include "common/swaglog.h"
#include "common/util.h"
#include "selfdrive/pendrel/screenrecorder/mp4_index_rebuild.h"
#include "selfdrive/pendrel/screenrecorder/mp4_muxer.h"

namespace {

// Longest video or lock path; longer names are refused rather than cut.
constexpr size_t kMaxPath = 1023;

// An episode of write failures: from the first failure until a segment takes a frame again.
// Shared by every writer of the process, as they share the disk.
std::atomic<bool> g_failing{false};

void episode_ended(const std::string &path) {
  if (g_failing.exchange(false)) LOGW("encoder: writing works again: %s", path.c_str());
}

int write_all(int fd, const uint8_t *data, size_t len) {
  while (len > 0) {
    ssize_t n = util::retry_eintr([&] { return write(fd, data, len); });
    if (n <= 0) return n < 0 ? errno : EIO;
    data += n, len -= (size_t)n;
  }
  return 0;
}

void fsync_directory(const std::string &dir) {
  UniqueFd d(open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (d.valid()) fsync(d.get());
}

}  // namespace

// Pushes a segment's bytes to the storage device every interval, off the caller's thread (a
// sync may take long on a slow card, and the recorder must not wait for it). The first sync
// also makes the new directory entries durable.
class PeriodicSync {
 public:
  PeriodicSync(int video_fd, int lock_fd, const std::string &dir, std::chrono::milliseconds interval)
      : video_fd_(video_fd), lock_fd_(lock_fd), dir_(dir), interval_(interval), thread_([this] { run(); }) {}
  ~PeriodicSync() {
    {
      std::lock_guard<std::mutex> lk(m_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  PeriodicSync(const PeriodicSync &) = delete;
  PeriodicSync &operator=(const PeriodicSync &) = delete;

  void mark_dirty() { dirty_.store(true, std::memory_order_relaxed); }
  // errno of a failed sync, 0 while every sync worked.
  int error() const { return error_.load(std::memory_order_relaxed); }

 private:
  void run() {
    std::unique_lock<std::mutex> lk(m_);
    while (!cv_.wait_for(lk, interval_, [this] { return stop_; })) {
      if (!dirty_.exchange(false)) continue;
      lk.unlock();
      sync_once();
      lk.lock();
    }
  }
  void sync_once() {
    if (fdatasync(video_fd_) != 0 || fdatasync(lock_fd_) != 0) {
      int expected = 0;
      error_.compare_exchange_strong(expected, errno);
      return;
    }
    if (!dirs_synced_) {
      fsync_directory(dir_);
      fsync_directory(util::dir_name(dir_));  // a new trip's own entry
      dirs_synced_ = true;
    }
  }

  const int video_fd_, lock_fd_;
  const std::string dir_;
  const std::chrono::milliseconds interval_;
  std::mutex m_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::atomic<bool> dirty_{false};
  std::atomic<int> error_{0};
  bool dirs_synced_ = false;
  std::thread thread_;  // last: starts once everything above is set
};

SegmentWriter::SegmentWriter(SegmentWriterOptions options) : options_(options) {}

SegmentWriter::~SegmentWriter() {
  close();
}

bool SegmentWriter::open_failed(const char *what, int err) {
  if (!g_failing.exchange(true)) {
    LOGW("encoder: cannot start segment %s (%s): %s", vid_path_.c_str(), what, strerror(err));
  } else {
    LOGD("encoder: cannot start segment %s (%s): %s", vid_path_.c_str(), what, strerror(err));
  }
  sync_.reset();
  muxer_.reset();
  if (video_fd_.valid()) unlink(vid_path_.c_str());
  if (lock_fd_.valid()) unlink(lock_path_.c_str());
  video_fd_.reset();
  lock_fd_.reset();
  return false;
}

bool SegmentWriter::open(const std::string &dir, const std::string &filename, const SegmentFormat &format) {
  FATAL_CHECK(!open_);
  FATAL_CHECK(format.fps > 0);  // timestamps divide by it
  format_ = format;
  header_written_ = failed_ = keep_lock_ = false;
  stream_ = {};
  samples_.clear();
  raw_bytes_ = 0;
  vid_path_ = dir + "/" + filename;
  lock_path_ = vid_path_ + ".lock";

  struct stat st;
  if (stat(dir.c_str(), &st) != 0 && mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    return open_failed("directory", errno);
  }
  // A cut name would be another file; a cut lock path could even be the video itself.
  if (lock_path_.size() > kMaxPath) return open_failed("name", ENAMETOOLONG);
  printf("encoder_open %s remuxing:%d\n", vid_path_.c_str(), format_.mp4);

  if (int err = create_lock_file(dir)) return open_failed("lock file", err);
  video_fd_.reset(util::retry_eintr(
      [&] { return ::open(vid_path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666); }));
  if (!video_fd_.valid()) return open_failed("video file", errno);
  if (format_.mp4) {
    muxer_ =
        std::make_unique<Mp4Muxer>(video_fd_.get(), vid_path_, format_.width, format_.height, format_.fps);
    if (!muxer_->ok()) return open_failed("muxer", ENOMEM);
    try {
      sync_ = std::make_unique<PeriodicSync>(video_fd_.get(), lock_fd_.get(), dir,
                                             std::chrono::milliseconds(options_.sync_interval_ms));
    } catch (const std::system_error &e) {
      return open_failed("sync thread", e.code().value());
    }
  }
  open_ = true;
  return true;
}

// The lock file is made under no name, locked and filled, then given its name: a recovery
// never sees it unlocked. Where the file system cannot do that, it is made by name.
int SegmentWriter::create_lock_file(const std::string &dir) {
  const bool journal = format_.mp4;  // a raw stream has none
  const uint8_t *magic = reinterpret_cast<const uint8_t *>(segment_journal::kMagic);
  UniqueFd fd(util::retry_eintr([&] { return ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0664); }));
  if (fd.valid()) {
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return errno;
    if (journal) {
      if (int err = write_all(fd.get(), magic, sizeof(segment_journal::kMagic))) return err;
    }
    const std::string proc_path = "/proc/self/fd/" + std::to_string(fd.get());
    if (linkat(AT_FDCWD, proc_path.c_str(), AT_FDCWD, lock_path_.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      lock_fd_ = std::move(fd);
      return 0;
    }
    if (errno != ENOENT && errno != EPERM && errno != EXDEV) return errno;  // /proc missing: by name
  } else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
    return errno;
  }
  fd.reset(util::retry_eintr(
      [&] { return ::open(lock_path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0664); }));
  if (!fd.valid()) return errno;
  lock_fd_ = std::move(fd);  // from here on open_failed removes it
  if (flock(lock_fd_.get(), LOCK_EX | LOCK_NB) != 0) return errno;
  if (journal) return write_all(lock_fd_.get(), magic, sizeof(segment_journal::kMagic));
  return 0;
}

void SegmentWriter::fail(const char *what, int err, const std::string &text) {
  if (failed_) return;
  failed_ = true;
  const std::string reason = err ? strerror(err) : text;
  if (!g_failing.exchange(true)) {
    LOGW("encoder: writing %s failed (%s): %s; the segment keeps %zu frames", vid_path_.c_str(), what,
         reason.c_str(), samples_.size());
  } else {
    LOGD("encoder: writing %s failed (%s): %s", vid_path_.c_str(), what, reason.c_str());
  }
}

void SegmentWriter::append_to_journal(const std::vector<uint8_t> &record) {
  if (int err = write_all(lock_fd_.get(), record.data(), record.size())) fail("journal", err);
}

void SegmentWriter::write_header(const uint8_t *config, size_t len) {
  if (!open_ || failed_ || header_written_) return;
  if (!muxer_->write_header(config, len)) {
    return fail("header", muxer_->error_number(), muxer_->error_text());
  }
  header_written_ = true;
  stream_.width = format_.width;
  stream_.height = format_.height;
  stream_.fps = format_.fps;
  stream_.data_start = (uint64_t)muxer_->position();
  stream_.codec_config.assign(config, config + len);
  append_to_journal(segment_journal::stream_record(stream_));
  sync_->mark_dirty();
}

void SegmentWriter::write_frame(const uint8_t *data, size_t len, int64_t pts_us, bool sync) {
  if (!open_ || failed_ || !header_written_) return;
  if (sync_->error()) return fail("sync", sync_->error());
  segment_journal::Sample s;
  s.pts_us = pts_us;
  s.sync = sync;
  if (!muxer_->write_frame(data, len, pts_us, sync, &s.size, &s.crc)) {
    return fail("frame", muxer_->error_number(), muxer_->error_text());
  }
  samples_.push_back(s);
  append_to_journal(segment_journal::sample_record(s));
  sync_->mark_dirty();
  if (!failed_ && samples_.size() == 1) episode_ended(vid_path_);
}

void SegmentWriter::write_raw(const uint8_t *data, size_t len) {
  if (!open_ || failed_) return;
  if (int err = write_all(video_fd_.get(), data, len)) return fail("stream", err);
  raw_bytes_ += len;
}

void SegmentWriter::finish_mp4() {
  sync_.reset();
  if (header_written_ && !failed_) {
    if (!muxer_->write_trailer()) {
      fail("index", muxer_->error_number(), muxer_->error_text());
    } else if (fdatasync(video_fd_.get()) != 0) {
      fail("sync", errno);  // the index must be on disk before the lock file goes
    }
  }
  muxer_.reset();
  bool keep = header_written_;
  if (failed_ && header_written_) {
    RebuildResult r = rebuild_index(video_fd_.get(), vid_path_, stream_, samples_);
    if (!r.ok) {
      LOGW("encoder: %s left for recovery: %s", vid_path_.c_str(), r.error.c_str());
      keep_lock_ = true;
    } else {
      LOGI("encoder: %s finished with %zu frames after the write failure", vid_path_.c_str(), r.frames);
      keep = r.frames > 0;
    }
  }
  video_fd_.reset();
  if (!keep) unlink(vid_path_.c_str());
}

void SegmentWriter::close() {
  if (!open_) return;
  if (format_.mp4) {
    finish_mp4();
  } else {
    video_fd_.reset();
    if (raw_bytes_ == 0) unlink(vid_path_.c_str());
  }
  if (!keep_lock_) unlink(lock_path_.c_str());
  lock_fd_.reset();  // releases the flock
  open_ = false;
}
