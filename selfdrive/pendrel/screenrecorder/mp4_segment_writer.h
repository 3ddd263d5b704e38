#pragma once

// One output segment on disk: the video file and its lock file. H.264 goes into an MP4 container
// through libavformat (header from the stream's parameter sets, one packet per coded picture,
// index at the end); HEVC is written as the raw elementary stream it arrives as. The writer knows
// nothing of the encoder component: it takes bytes, timestamps and flags.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

struct SegmentFormat {
  int width = 0;
  int height = 0;
  int fps = 0;      // frames per second, positive
  bool mp4 = true;  // MP4 through the container library; false: raw elementary stream
};

class SegmentWriter {
 public:
  SegmentWriter() = default;
  // Finishes a segment still open.
  ~SegmentWriter();
  SegmentWriter(const SegmentWriter &) = delete;
  SegmentWriter &operator=(const SegmentWriter &) = delete;

  // Starts `dir`/`filename` and its lock file `dir`/`filename`.lock; `dir` is made when missing.
  void open(const std::string &dir, const std::string &filename, const SegmentFormat &format);
  bool is_open() const { return open_; }
  // MP4: the container header is written; packets are taken only from then on.
  bool header_written() const { return header_written_; }

  // MP4: writes the container header with the stream's parameter sets (`config`, Annex B).
  void write_header(const uint8_t *config, size_t len);
  // MP4: one coded picture, `pts_us` microseconds after the segment opened (> 0).
  void write_frame(const uint8_t *data, size_t len, int64_t pts_us, bool key);
  // Raw stream: bytes as they come, parameter sets included.
  void write_raw(const uint8_t *data, size_t len);

  // Writes the index, closes the file and removes the lock file. A segment that never got a
  // header (MP4) or a byte (raw) is removed too. Harmless when nothing is open.
  void close();

  const std::string &video_path() const { return vid_path_; }
  const std::string &lock_path() const { return lock_path_; }

 private:
  void finish_mp4();
  void finish_raw();

  SegmentFormat format_;
  std::string vid_path_, lock_path_;
  bool open_ = false;
  bool header_written_ = false;
  FILE *raw_ = nullptr;
  AVFormatContext *ofmt_ctx_ = nullptr;
  AVCodecContext *codec_ctx_ = nullptr;
  AVStream *out_stream_ = nullptr;
};
