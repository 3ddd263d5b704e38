#include "selfdrive/pendrel/screenrecorder/mp4_index_rebuild.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/util.h"
#include "selfdrive/pendrel/screenrecorder/mp4_muxer.h"

namespace {

// A frame on disk is a series of NAL units, each behind its 4-byte big-endian length. The
// muxer takes Annex B (the encoder's own form) and turns every start code back into a length
// of the same size, so putting start codes in place of the lengths gives it back exactly the
// bytes on disk. False when the lengths do not tile the frame.
bool lengths_to_start_codes(std::vector<uint8_t> &frame) {
  size_t pos = 0;
  while (pos < frame.size()) {
    if (frame.size() - pos < 5) return false;
    const uint32_t len = (uint32_t)frame[pos] << 24 | (uint32_t)frame[pos + 1] << 16 |
                         (uint32_t)frame[pos + 2] << 8 | frame[pos + 3];
    if (len == 0 || len > frame.size() - pos - 4) return false;
    frame[pos] = frame[pos + 1] = frame[pos + 2] = 0;
    frame[pos + 3] = 1;
    pos += 4 + len;
  }
  return true;
}

bool read_at(int fd, uint8_t *buf, size_t len, off_t at) {
  while (len > 0) {
    ssize_t n = util::retry_eintr([&] { return pread(fd, buf, len, at); });
    if (n <= 0) return false;
    buf += n, len -= (size_t)n, at += n;
  }
  return true;
}

// Room the index of `frames` frames may take: a header part and at most 40 bytes a frame.
off_t index_room(size_t frames) {
  return 8192 + 40 * (off_t)frames;
}

struct Attempt {
  bool ok = false;
  bool no_room = false;
  size_t frames = 0;  // taken from the journal (in the file when ok)
  std::string error;
};

// One run of the muxer over at most `limit` frames.
Attempt mux_frames(int fd, const std::string &path, const segment_journal::Stream &stream,
                   const std::vector<segment_journal::Sample> &samples, size_t limit, off_t file_size) {
  Attempt a;
  Mp4Muxer mux(fd, path, stream.width, stream.height, stream.fps);
  if (!mux.ok()) {
    a.error = mux.error_text();
    return a;
  }
  // The header is on disk as the writer left it and must come out the same, except for its last
  // 16 bytes: the muxer's placeholder box and the media data's size, which the index fills in
  // (and which a finished file has filled in already).
  const int64_t data_start = (int64_t)stream.data_start;
  if (data_start < 16) {
    a.error = "the journal's first frame offset is inside the header";
    return a;
  }
  mux.on_disk(0, data_start - 16, true);
  if (!mux.write_header(stream.codec_config.data(), stream.codec_config.size())) {
    a.error = mux.error_text();
    a.no_room = mux.error_number() == ENOSPC;
    return a;
  }
  if (mux.position() != data_start) {
    a.error = "the header does not match the journal's";
    return a;
  }

  std::vector<uint8_t> frame;
  int64_t offset = data_start;
  for (size_t i = 0; i < samples.size() && i < limit; i++) {
    const segment_journal::Sample &s = samples[i];
    if (offset + s.size > file_size) break;  // never reached the disk
    frame.resize(s.size);
    if (!read_at(fd, frame.data(), frame.size(), offset)) break;
    if (segment_journal::crc32(0, frame.data(), frame.size()) != s.crc) break;
    if (!lengths_to_start_codes(frame)) break;
    mux.on_disk(data_start, offset + s.size, false);
    uint32_t size, crc;
    if (!mux.write_frame(frame.data(), frame.size(), s.pts_us, s.sync, &size, &crc)) {
      a.error = mux.error_text();
      return a;
    }
    if (size != s.size || crc != s.crc) {
      a.error = "frame " + std::to_string(i) + " does not come out as it is on disk";
      return a;
    }
    offset += s.size;
    a.frames++;
  }
  // Whatever followed the last frame taken (a torn frame, an earlier index) goes; so does the
  // space it held, which the index may need.
  if (util::retry_eintr([&] { return ftruncate(fd, offset); }) != 0) {
    a.error = std::string("cut: ") + strerror(errno);
    return a;
  }
  if (a.frames == 0) {
    a.ok = true;
    return a;
  }
  if (!mux.write_trailer()) {
    a.error = mux.error_text();
    a.no_room = mux.error_number() == ENOSPC;
    return a;
  }
  if (util::retry_eintr([&] { return ftruncate(fd, mux.end()); }) != 0 || fdatasync(fd) != 0) {
    a.error = std::string("sync: ") + strerror(errno);
    a.no_room = errno == ENOSPC;
    return a;
  }
  a.ok = true;
  return a;
}

}  // namespace

RebuildResult rebuild_index(int fd, const std::string &path, const segment_journal::Stream &stream,
                            const std::vector<segment_journal::Sample> &samples) {
  RebuildResult r;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    r.error = std::string("stat: ") + strerror(errno);
    return r;
  }
  size_t limit = samples.size();
  while (true) {
    Attempt a = mux_frames(fd, path, stream, samples, limit, st.st_size);
    if (a.ok) {
      r.ok = true;
      r.frames = a.frames;
      return r;
    }
    if (!a.no_room || a.frames == 0) {
      r.error = a.error;
      return r;
    }
    // No room for the index: drop frames from the end until their bytes would hold it.
    limit = a.frames;
    off_t freed = 0;
    while (limit > 0 && freed < index_room(limit)) freed += samples[--limit].size;
    st.st_size = (off_t)stream.data_start;
    for (size_t i = 0; i < limit; i++) st.st_size += samples[i].size;
  }
}
