// ION allocator: the device's memory for camera frames, shared with the camera and the
// encoder hardware. Cached allocations, so coherence comes from explicit cache maintenance.

#include "strand/visionipc/visionbuf_ion.h"

#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "common/util.h"
#include "common/fatal_check.h"
#include "strand/visionipc/visionbuf_allocator.h"

namespace {

class IonFileHandle {
 public:
  IonFileHandle() {
    fd = open("/dev/ion", O_RDWR | O_NONBLOCK);  // 0x802
    FATAL_CHECK(fd >= 0);
  }
  ~IonFileHandle() { close(fd); }
  IonFileHandle(const IonFileHandle &) = delete;
  IonFileHandle &operator=(const IonFileHandle &) = delete;

  int fd;
};

int ion_ioctl(unsigned long request, void *arg) {
  int fd = ion_fd();
  return util::retry_eintr([&] { return ioctl(fd, request, arg); });
}

class IonAllocator : public VisionBufAllocator {
 public:
  void allocate(VisionBuf *buf, size_t mmap_len) const override {
    ion_allocation_data ion_alloc = {};
    ion_alloc.len = mmap_len;
    ion_alloc.align = 4096;
    ion_alloc.heap_id_mask = 1u << ION_SYSTEM_HEAP_ID;
    ion_alloc.flags = ION_FLAG_CACHED;
    int err = ion_ioctl(ION_IOC_ALLOC, &ion_alloc);
    FATAL_CHECK(err == 0);

    ion_fd_data fd_data = {};
    fd_data.handle = ion_alloc.handle;
    err = ion_ioctl(ION_IOC_SHARE, &fd_data);
    FATAL_CHECK(err == 0);

    void *mmap_addr = mmap(nullptr, mmap_len, PROT_READ | PROT_WRITE, MAP_SHARED, fd_data.fd, 0);
    FATAL_CHECK(mmap_addr != MAP_FAILED);
    memset(mmap_addr, 0, mmap_len);

    buf->handle = ion_alloc.handle;
    buf->fd = fd_data.fd;
    buf->addr = mmap_addr;
  }

  void import(VisionBuf *buf) const override {
    ion_fd_data fd_data = {};
    fd_data.fd = buf->fd;
    int err = ion_ioctl(ION_IOC_IMPORT, &fd_data);
    FATAL_CHECK(err == 0);
    buf->handle = fd_data.handle;
  }

  void *map(int fd, size_t mmap_len) const override {
    return mmap(nullptr, mmap_len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  }

  void init_cl(VisionBuf *buf, cl_device_id device_id, cl_context ctx) const override {
    (void)device_id;
    cl_mem_ion_host_ptr ion_cl = {};
    ion_cl.ext_host_ptr.allocation_type = CL_MEM_ION_HOST_PTR_QCOM;
    ion_cl.ext_host_ptr.host_cache_policy = CL_MEM_HOST_IOCOHERENT_QCOM;
    ion_cl.ion_filedesc = buf->fd;
    ion_cl.ion_hostptr = buf->addr;
    cl_int err = CL_SUCCESS;
    buf->buf_cl = clCreateBuffer(ctx, CL_MEM_USE_HOST_PTR | CL_MEM_EXT_HOST_PTR_QCOM, buf->len, &ion_cl, &err);
    FATAL_CHECK(err == 0);
  }

  int sync(VisionBuf *buf, int dir) const override {
    ion_flush_data flush_data = {};
    flush_data.handle = buf->handle;
    flush_data.fd = 0;
    flush_data.vaddr = buf->addr;
    flush_data.offset = 0;
    flush_data.length = (uint32_t)buf->len;

    ion_custom_data custom_data = {};
    custom_data.cmd = dir == VISIONBUF_SYNC_FROM_DEVICE ? ION_IOC_INV_CACHES : ION_IOC_CLEAN_CACHES;
    custom_data.arg = (uint64_t)(uintptr_t)&flush_data;
    return ion_ioctl(ION_IOC_CUSTOM, &custom_data);
  }

  int release(VisionBuf *buf) const override {
    ion_handle_data handle_data = {};
    handle_data.handle = buf->handle;
    return ion_ioctl(ION_IOC_FREE, &handle_data);
  }
};

}  // namespace

int ion_fd() {
  static IonFileHandle fh;
  return fh.fd;
}

const VisionBufAllocator &visionbuf_ion_allocator() {
  static const IonAllocator allocator;
  return allocator;
}
