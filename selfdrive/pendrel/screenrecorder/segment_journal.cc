#include "selfdrive/pendrel/screenrecorder/segment_journal.h"

#include <cstring>

extern "C" {
#include <libavutil/crc.h>
}

namespace segment_journal {

namespace {

constexpr size_t kRecordHeader = 8;  // type, payload length
constexpr size_t kStreamFixed = 24;  // width, height, fps, 0, first frame offset
constexpr size_t kSamplePayload = 20;

template <class T>
void put(std::vector<uint8_t> &out, T v) {
  const uint8_t *p = reinterpret_cast<const uint8_t *>(&v);
  out.insert(out.end(), p, p + sizeof(T));
}

template <class T>
T get(const uint8_t *p) {
  T v;
  memcpy(&v, p, sizeof(T));
  return v;
}

std::vector<uint8_t> record(uint32_t type, const std::vector<uint8_t> &payload) {
  std::vector<uint8_t> out;
  out.reserve(kRecordHeader + payload.size() + 4);
  put(out, type);
  put(out, (uint32_t)payload.size());
  out.insert(out.end(), payload.begin(), payload.end());
  put(out, crc32(0, out.data(), out.size()));
  return out;
}

}  // namespace

uint32_t crc32(uint32_t crc, const uint8_t *data, size_t len) {
  return av_crc(av_crc_get_table(AV_CRC_32_IEEE_LE), crc, data, len);
}

std::vector<uint8_t> stream_record(const Stream &s) {
  std::vector<uint8_t> payload;
  put(payload, s.width);
  put(payload, s.height);
  put(payload, s.fps);
  put(payload, (uint32_t)0);
  put(payload, s.data_start);
  payload.insert(payload.end(), s.codec_config.begin(), s.codec_config.end());
  return record(kStreamRecord, payload);
}

std::vector<uint8_t> sample_record(const Sample &s) {
  std::vector<uint8_t> payload;
  put(payload, s.pts_us);
  put(payload, s.size);
  put(payload, s.sync ? kSampleSync : 0u);
  put(payload, s.crc);
  return record(kSampleRecord, payload);
}

Contents parse(const std::vector<uint8_t> &bytes) {
  Contents c;
  if (bytes.size() < sizeof(kMagic) || memcmp(bytes.data(), kMagic, sizeof(kMagic)) != 0) return c;
  c.has_magic = true;
  size_t pos = sizeof(kMagic);
  while (bytes.size() - pos >= kRecordHeader + 4) {
    const uint8_t *r = bytes.data() + pos;
    const uint32_t type = get<uint32_t>(r);
    const uint32_t len = get<uint32_t>(r + 4);
    if (len > bytes.size() - pos - kRecordHeader - 4) break;                                // torn
    if (get<uint32_t>(r + kRecordHeader + len) != crc32(0, r, kRecordHeader + len)) break;  // damaged
    const uint8_t *p = r + kRecordHeader;
    if (type == kStreamRecord && !c.has_stream && len >= kStreamFixed) {
      c.has_stream = true;
      c.stream.width = get<int32_t>(p);
      c.stream.height = get<int32_t>(p + 4);
      c.stream.fps = get<int32_t>(p + 8);
      c.stream.data_start = get<uint64_t>(p + 16);
      c.stream.codec_config.assign(p + kStreamFixed, p + len);
    } else if (type == kSampleRecord && c.has_stream && len == kSamplePayload) {
      Sample s;
      s.pts_us = get<int64_t>(p);
      s.size = get<uint32_t>(p + 8);
      s.sync = get<uint32_t>(p + 12) & kSampleSync;
      s.crc = get<uint32_t>(p + 16);
      c.samples.push_back(s);
    } else {
      break;  // out of order or of a kind this reader does not know
    }
    pos += kRecordHeader + len + 4;
  }
  return c;
}

}  // namespace segment_journal
