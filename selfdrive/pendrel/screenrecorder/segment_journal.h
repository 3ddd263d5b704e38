#pragma once

// The journal of an open MP4 segment, kept in its lock file: what a later process needs to finish
// the segment if the writer dies before writing the index. The writer appends one record per
// frame right after the frame's bytes have gone to the video file; recovery trusts a record only
// when the bytes it describes are on disk and match its checksum.
//
// Lock file layout (native little-endian):
//   magic "SEGJRNL1" (8 bytes)
//   records, each: u32 type | u32 payload length | payload | u32 CRC-32 of the 8 header bytes and
//   the payload
//     STREAM (once, before any SAMPLE): i32 width | i32 height | i32 fps | u32 0 |
//                                       u64 offset of the first frame's bytes | parameter sets (Annex B)
//     SAMPLE: i64 presentation time (µs) | u32 size | u32 flags (bit 0: sync frame) |
//             u32 CRC-32 of the frame's bytes as they are on disk
// Frames follow each other without a gap from the first frame's offset on. A reader takes the
// records up to the first torn or damaged one.
//
// A lock file without the magic belongs to a segment without a journal: a raw elementary stream,
// or a file written before journals existed.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace segment_journal {

constexpr char kMagic[8] = {'S', 'E', 'G', 'J', 'R', 'N', 'L', '1'};
constexpr uint32_t kStreamRecord = 1;
constexpr uint32_t kSampleRecord = 2;
constexpr uint32_t kSampleSync = 1;  // SAMPLE flags

struct Stream {
  int32_t width = 0, height = 0, fps = 0;
  uint64_t data_start = 0;            // offset of the first frame's bytes in the video file
  std::vector<uint8_t> codec_config;  // parameter sets, Annex B
};

struct Sample {
  int64_t pts_us = 0;
  uint32_t size = 0;
  bool sync = false;
  uint32_t crc = 0;  // of the bytes on disk
};

// What a lock file holds.
struct Contents {
  bool has_magic = false;
  bool has_stream = false;
  Stream stream;
  std::vector<Sample> samples;
};

// The bytes to append for each record.
std::vector<uint8_t> stream_record(const Stream &s);
std::vector<uint8_t> sample_record(const Sample &s);

// Reads a whole lock file's bytes; stops at the first torn or damaged record.
Contents parse(const std::vector<uint8_t> &bytes);

// CRC-32 (IEEE) of `len` bytes, continuing from `crc` (0 to start).
uint32_t crc32(uint32_t crc, const uint8_t *data, size_t len);

}  // namespace segment_journal
