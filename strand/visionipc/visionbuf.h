#pragma once

// One camera frame buffer in memory shared between processes. The server allocates it and
// hands its descriptor to clients (ipc.h); a client imports the descriptor and maps the same
// pages. Behind the image lies an 8-byte frame-id slot in the same mapping.
//
// The memory comes from ION where the device has /dev/ion, and from anonymous memory files
// elsewhere (a development machine); the choice is made once per process, and both ends of a
// connection run on the same machine, so they always agree.
//
// The record is also the 136-byte buffer record sent to clients byte for byte: its field order
// and types are fixed (layout checks in visionipc.h).

#ifndef CL_TARGET_OPENCL_VERSION
#define CL_TARGET_OPENCL_VERSION 120
#endif
#include <CL/cl.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

enum VisionStreamType : int {
  VISION_STREAM_ROAD = 0,
  VISION_STREAM_DRIVER = 1,
  VISION_STREAM_WIDE_ROAD = 2,
  VISION_STREAM_MAP = 3,
  // The number of streams; as a setup request it asks which streams a server offers.
  VISION_STREAM_MAX = 4,
};

// Directions of sync(): invalidate the CPU caches before reading what a device wrote, or
// write them back before a device reads what the CPU wrote.
#define VISIONBUF_SYNC_FROM_DEVICE 0
#define VISIONBUF_SYNC_TO_DEVICE 1

// The alignment the OpenCL import requires of a buffer's address.
constexpr uintptr_t DEVICE_PAGE_SIZE_CL = 4096;

class VisionBuf {
 public:
  size_t len = 0;       // image bytes, as asked for at allocation
  size_t mmap_len = 0;  // bytes mapped: len + 8 (the frame-id slot)
  void *addr = nullptr;
  uint64_t *frame_id = nullptr;  // addr + len
  int fd = 0;
  bool rgb = false;
  size_t width = 0;
  size_t height = 0;
  size_t stride = 0;     // bytes per row (luma rows for NV12)
  size_t uv_offset = 0;  // NV12: chroma plane offset from addr
  uint8_t *y = nullptr;  // NV12: addr
  uint8_t *uv = nullptr; // NV12: addr + uv_offset
  uint64_t server_id = 0;
  size_t idx = 0;
  VisionStreamType type = VISION_STREAM_ROAD;
  cl_mem buf_cl = nullptr;
  cl_command_queue copy_q = nullptr;  // never set here
  int handle = 0;                     // ION handle in this process (0 for memory files)

  // Server side: a new zeroed shared buffer of `length` image bytes. Fatal on failure.
  void allocate(size_t length);
  // Client side: maps the buffer whose descriptor is in `fd`; needs `fd`, `len` and `mmap_len`.
  // Fatal on failure.
  void import();
  void init_rgb(size_t init_width, size_t init_height, size_t init_stride);
  // Needs `addr`: runs after allocate or import.
  void init_yuv(size_t init_width, size_t init_height, size_t init_stride, size_t init_uv_offset);
  // Wraps the mapping as an OpenCL buffer without copying. Fatal on failure.
  void init_cl(cl_device_id device_id, cl_context ctx);
  // Cache maintenance over the image bytes (not the frame-id slot): 0, or the failed call's result.
  int sync(int dir);
  // Releases this process's view: the OpenCL buffer, the mapping, the descriptor, the ION
  // handle. Returns the first failure and leaves the later steps undone. A freed buffer must
  // not be used or freed again.
  int free();

  // The slot sits right behind the image, so it is 8-byte aligned only when len is: copy
  // through it rather than dereference it.
  void set_frame_id(uint64_t id) { memcpy(frame_id, &id, sizeof(id)); }
  uint64_t get_frame_id() {
    uint64_t id;
    memcpy(&id, frame_id, sizeof(id));
    return id;
  }
};

// Leaves both unchanged on this platform.
void visionbuf_compute_aligned_width_and_height(int width, int height, int *aligned_w, int *aligned_h);

// The process's /dev/ion descriptor, opened on first use. Fatal ("fd >= 0") where it cannot
// be opened.
int ion_fd();

// Which allocator this process uses: true for ION, false for memory files.
bool visionbuf_uses_ion();
