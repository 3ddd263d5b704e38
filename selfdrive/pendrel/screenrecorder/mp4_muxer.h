#pragma once

// The MP4 muxer of one segment: libavformat's MP4 muxer writing through a file descriptor at
// the muxer's own positions. It holds the one definition of the stream's settings and of a
// packet's fields, used both by the segment writer and by the index rebuild, so that a rebuilt
// segment is byte for byte the file a normal close would have left.
//
// Every packet is flushed to the descriptor as soon as it is muxed (the muxer's "flush_packets"
// option): once write_frame returns, the frame's bytes are in the kernel, and a process killed
// afterwards loses nothing of it.

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

class Mp4Muxer {
 public:
  // Writes to `fd` (not owned, must stay open while the muxer lives). `path` chooses the
  // container by its name, as opening the file by name would. Check ok() afterwards.
  Mp4Muxer(int fd, const std::string &path, int width, int height, int fps);
  ~Mp4Muxer();
  Mp4Muxer(const Mp4Muxer &) = delete;
  Mp4Muxer &operator=(const Mp4Muxer &) = delete;

  bool ok() const { return ctx_ != nullptr; }

  // Bytes the muxer puts in [begin, end) are on disk already and are not written again; with
  // `verify`, they are read back and must be the same (a difference fails the write).
  void on_disk(int64_t begin, int64_t end, bool verify) {
    disk_begin_ = begin;
    disk_end_ = end;
    verify_ = verify;
  }

  // The container header with the stream's parameter sets (Annex B).
  bool write_header(const uint8_t *config, size_t len);
  // One coded picture (Annex B), `pts_us` microseconds after the segment opened. `size` and
  // `crc` receive the length and CRC-32 of the bytes the muxer wrote for it.
  bool write_frame(const uint8_t *data, size_t len, int64_t pts_us, bool sync, uint32_t *size, uint32_t *crc);
  // The index, at the end of the file.
  bool write_trailer();

  // Where the next byte goes.
  int64_t position() const { return pos_; }
  // Past the last byte written.
  int64_t end() const { return end_; }
  // errno of the failed write that stopped the muxer (ENOSPC, EIO, ...), or 0 when the muxer
  // failed for another reason; error_text() says which.
  int error_number() const { return errno_; }
  const std::string &error_text() const { return error_; }

 private:
  static int write_cb(void *opaque, uint8_t *buf, int size);
  static int64_t seek_cb(void *opaque, int64_t offset, int whence);
  int write_bytes(const uint8_t *buf, int size);
  bool same_as_disk(const uint8_t *p, int64_t n, int64_t at);
  bool check(int err, const char *what);

  int fd_;
  AVFormatContext *ctx_ = nullptr;
  AVCodecContext *codec_ctx_ = nullptr;
  AVIOContext *io_ = nullptr;
  int64_t pos_ = 0, end_ = 0;
  int64_t disk_begin_ = 0, disk_end_ = 0;
  bool verify_ = false;
  uint32_t packet_crc_ = 0;
  int errno_ = 0;
  std::string error_;
};
