// Memory-file allocator, for machines without /dev/ion. The CPU is the only device touching
// the memory there, so caches are coherent and sync has nothing to do.

#include <sys/mman.h>

#include "platform/memfd_buffers/memfd_buffer.h"
#include "common/fatal_check.h"
#include "strand/visionipc/visionbuf_allocator.h"

namespace {

class MemfdAllocator : public VisionBufAllocator {
 public:
  void allocate(VisionBuf *buf, size_t mmap_len) const override {
    int fd = memfd_buffer::create(mmap_len);
    int err = fd < 0 ? -1 : 0;
    FATAL_CHECK(err == 0);
    void *mmap_addr = memfd_buffer::map(fd, mmap_len);
    FATAL_CHECK(mmap_addr != MAP_FAILED);
    // A new memory file is already all zeros.
    buf->handle = 0;
    buf->fd = fd;
    buf->addr = mmap_addr;
  }

  void import(VisionBuf *buf) const override { buf->handle = 0; }

  void *map(int fd, size_t mmap_len) const override { return memfd_buffer::map(fd, mmap_len); }

  void init_cl(VisionBuf *buf, cl_device_id device_id, cl_context ctx) const override {
    (void)device_id;
    // A standard host-pointer buffer: the OpenCL device works on the mapping's own pages.
    cl_int err = CL_SUCCESS;
    buf->buf_cl = clCreateBuffer(ctx, CL_MEM_READ_WRITE | CL_MEM_USE_HOST_PTR, buf->len, buf->addr, &err);
    FATAL_CHECK(err == 0);
  }

  int sync(VisionBuf *, int) const override { return 0; }

  int release(VisionBuf *) const override { return 0; }
};

}  // namespace

const VisionBufAllocator &visionbuf_memfd_allocator() {
  static const MemfdAllocator allocator;
  return allocator;
}
