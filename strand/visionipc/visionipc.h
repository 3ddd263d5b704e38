#pragma once

// The records that cross the process boundary between a vision server and its clients.
// Other processes on the device speak this protocol, so every size and offset here is fixed.
//
// Setup channel (ipc.h), one request and one reply per connection:
//   request: one VisionStreamType as int32 (VISION_STREAM_MAX asks for the stream list);
//   stream-list reply: the offered types as int32, ascending;
//   buffer reply: one 136-byte VisionBuf record per buffer, in index order, with the buffers'
//   descriptors in one SCM_RIGHTS message (descriptor i belongs to record i).
// Frame channel: one 48-byte VisionIpcPacket per frame on the stream's topic.

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "strand/visionipc/visionbuf.h"

// The most buffers, and so descriptors, one setup reply carries.
constexpr int VISIONIPC_MAX_FDS = 128;

// Per-frame metadata, written by the server's caller and passed through unchanged.
struct VisionIpcBufExtra {
  uint32_t frame_id;
  uint64_t timestamp_sof;
  uint64_t timestamp_eof;
  bool valid;
};

struct VisionIpcPacket {
  uint64_t server_id;  // identity of the publishing server instance
  uint64_t idx;        // index of the buffer holding the frame
  VisionIpcBufExtra extra;
};

static_assert(sizeof(VisionStreamType) == 4, "stream request is 4 bytes");

static_assert(sizeof(VisionIpcBufExtra) == 32, "VisionIpcBufExtra layout");
static_assert(offsetof(VisionIpcBufExtra, timestamp_sof) == 8, "VisionIpcBufExtra layout");
static_assert(offsetof(VisionIpcBufExtra, timestamp_eof) == 16, "VisionIpcBufExtra layout");
static_assert(offsetof(VisionIpcBufExtra, valid) == 24, "VisionIpcBufExtra layout");

static_assert(sizeof(VisionIpcPacket) == 48, "VisionIpcPacket layout");
static_assert(offsetof(VisionIpcPacket, idx) == 8, "VisionIpcPacket layout");
static_assert(offsetof(VisionIpcPacket, extra) == 16, "VisionIpcPacket layout");
static_assert(std::is_trivially_copyable<VisionIpcPacket>::value, "packets travel as bytes");

// VisionBuf is the buffer record itself.
static_assert(sizeof(VisionBuf) == 136, "buffer record is 136 bytes");
static_assert(std::is_standard_layout<VisionBuf>::value && std::is_trivially_copyable<VisionBuf>::value,
              "buffer records travel as bytes");
static_assert(offsetof(VisionBuf, len) == 0 && offsetof(VisionBuf, mmap_len) == 8 &&
                  offsetof(VisionBuf, addr) == 16 && offsetof(VisionBuf, frame_id) == 24 &&
                  offsetof(VisionBuf, fd) == 32 && offsetof(VisionBuf, rgb) == 36 &&
                  offsetof(VisionBuf, width) == 40 && offsetof(VisionBuf, height) == 48 &&
                  offsetof(VisionBuf, stride) == 56 && offsetof(VisionBuf, uv_offset) == 64 &&
                  offsetof(VisionBuf, y) == 72 && offsetof(VisionBuf, uv) == 80 &&
                  offsetof(VisionBuf, server_id) == 88 && offsetof(VisionBuf, idx) == 96 &&
                  offsetof(VisionBuf, type) == 104 && offsetof(VisionBuf, buf_cl) == 112 &&
                  offsetof(VisionBuf, copy_q) == 120 && offsetof(VisionBuf, handle) == 128,
              "buffer record layout");
