#pragma once

// One output segment on disk: the video file and its lock file. H.264 goes into an MP4 container
// through libavformat (header from the stream's parameter sets, one packet per coded picture,
// index at the end); HEVC is written as the raw elementary stream it arrives as. The writer knows
// nothing of the encoder component: it takes bytes, timestamps and flags.
//
// Crash safety (MP4). Every frame goes to the file as soon as it is handed over, followed by its
// record in the journal the lock file holds (segment_journal.h); a background thread pushes both
// to the storage device every second. So at every moment the file on disk can be finished by
// recover_segment with every frame older than about a second, whatever kills the process. The
// writer holds an exclusive flock on the lock file while the segment is open, which tells
// recovery that the segment is alive. A normal close writes the index as the muxer always does:
// the file is then exactly what it would be without the journal, and the lock file goes.
//
// Write failures (no space, any I/O error) stop the segment where it is: failed() turns true, the
// frames that follow are dropped without a word, and close() finishes what reached the disk (the
// index rebuilt from the frames written, dropping frames from the end when the disk has no room
// for it). Failures are logged once per episode: the first one as a warning, later ones at debug
// level, until a segment takes a frame again.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "selfdrive/pendrel/screenrecorder/segment_journal.h"
#include "common/unique_fd.h"

class Mp4Muxer;
class PeriodicSync;

struct SegmentFormat {
  int width = 0;
  int height = 0;
  int fps = 0;      // frames per second, positive
  bool mp4 = true;  // MP4 through the container library; false: raw elementary stream
};

struct SegmentWriterOptions {
  // How often the written bytes are pushed to the storage device. A frame is durable at most
  // this long (plus the sync itself) after it was handed over.
  int sync_interval_ms = 1000;
};

class SegmentWriter {
 public:
  explicit SegmentWriter(SegmentWriterOptions options = {});
  // Finishes a segment still open.
  ~SegmentWriter();
  SegmentWriter(const SegmentWriter &) = delete;
  SegmentWriter &operator=(const SegmentWriter &) = delete;

  // Starts `dir`/`filename` and its lock file `dir`/`filename`.lock; `dir` is made when missing.
  // An existing file of either name is never overwritten. False (logged) when the files cannot
  // be made: no space, an I/O error, a directory that cannot be made, a name that exists.
  bool open(const std::string &dir, const std::string &filename, const SegmentFormat &format);
  bool is_open() const { return open_; }
  // MP4: the container header is written; frames are taken only from then on.
  bool header_written() const { return header_written_; }
  // A write failed since the segment opened: it takes nothing more.
  bool failed() const { return failed_; }
  // MP4: frames in the file so far.
  size_t frames() const { return samples_.size(); }

  // MP4: writes the container header with the stream's parameter sets (`config`, Annex B).
  void write_header(const uint8_t *config, size_t len);
  // MP4: one coded picture, `pts_us` microseconds after the segment opened (> 0).
  void write_frame(const uint8_t *data, size_t len, int64_t pts_us, bool sync);
  // Raw stream: bytes as they come, parameter sets included.
  void write_raw(const uint8_t *data, size_t len);

  // Writes the index, closes the file and removes the lock file; after a failure, finishes what
  // reached the disk. A segment without a frame (MP4: without a header) is removed. Harmless
  // when nothing is open.
  void close();

  const std::string &video_path() const { return vid_path_; }
  const std::string &lock_path() const { return lock_path_; }

 private:
  int create_lock_file(const std::string &dir);
  bool open_failed(const char *what, int err);
  void fail(const char *what, int err, const std::string &text = "");
  void append_to_journal(const std::vector<uint8_t> &record);
  void finish_mp4();

  const SegmentWriterOptions options_;
  SegmentFormat format_;
  std::string vid_path_, lock_path_;
  bool open_ = false;
  bool header_written_ = false;
  bool failed_ = false;
  bool keep_lock_ = false;  // a segment that could not be finished stays for recovery
  UniqueFd video_fd_, lock_fd_;
  std::unique_ptr<Mp4Muxer> muxer_;
  std::unique_ptr<PeriodicSync> sync_;
  segment_journal::Stream stream_;
  std::vector<segment_journal::Sample> samples_;
  size_t raw_bytes_ = 0;
};
