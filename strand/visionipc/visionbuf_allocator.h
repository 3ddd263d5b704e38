#pragma once

// The memory behind VisionBuf. Each allocator provides the same operations; visionbuf.cc picks
// one per process and keeps what both share (the layout of the image inside the mapping).

#include "strand/visionipc/visionbuf.h"

class VisionBufAllocator {
 public:
  virtual ~VisionBufAllocator() = default;
  // Sets fd, handle and addr: a zeroed shared read-write mapping of `mmap_len` bytes. Fatal on failure.
  virtual void allocate(VisionBuf *buf, size_t mmap_len) const = 0;
  // Takes hold of the allocation behind a received descriptor (buf->fd): sets handle. Fatal on failure.
  virtual void import(VisionBuf *buf) const = 0;
  // Maps `mmap_len` bytes of a received descriptor shared read-write, or returns MAP_FAILED.
  virtual void *map(int fd, size_t mmap_len) const = 0;
  // Sets buf_cl: an OpenCL buffer aliasing buf->addr. Fatal on failure.
  virtual void init_cl(VisionBuf *buf, cl_device_id device_id, cl_context ctx) const = 0;
  // Cache maintenance over the `len` image bytes; dir was checked by the caller.
  virtual int sync(VisionBuf *buf, int dir) const = 0;
  // Gives up the allocation itself once the mapping and descriptor are gone.
  virtual int release(VisionBuf *buf) const = 0;
};

const VisionBufAllocator &visionbuf_ion_allocator();
const VisionBufAllocator &visionbuf_memfd_allocator();
