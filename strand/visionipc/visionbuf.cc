#include "strand/visionipc/visionbuf.h"

#include <sys/mman.h>
#include <unistd.h>

#include "common/fatal_check.h"
#include "strand/visionipc/visionbuf_allocator.h"

namespace {

// One allocator per process, chosen on first use: every buffer of the process, and of its
// peers on the same machine, then comes from the same kind of memory.
const VisionBufAllocator &allocator() {
  static const VisionBufAllocator &chosen =
      visionbuf_uses_ion() ? visionbuf_ion_allocator() : visionbuf_memfd_allocator();
  return chosen;
}

}  // namespace

bool visionbuf_uses_ion() {
  static const bool ion = access("/dev/ion", F_OK) == 0;
  return ion;
}

void visionbuf_compute_aligned_width_and_height(int width, int height, int *aligned_w, int *aligned_h) {
  *aligned_w = width;
  *aligned_h = height;
}

void VisionBuf::allocate(size_t length) {
  allocator().allocate(this, length + sizeof(uint64_t));
  this->len = length;
  this->mmap_len = length + sizeof(uint64_t);
  this->frame_id = (uint64_t *)((uint8_t *)this->addr + length);
}

void VisionBuf::import() {
  FATAL_CHECK(this->fd >= 0);
  // The frame-id slot must lie inside the mapping: a record saying otherwise would have us
  // read and write past it.
  FATAL_CHECK(this->mmap_len >= sizeof(uint64_t) && this->len <= this->mmap_len - sizeof(uint64_t));
  allocator().import(this);
  this->addr = allocator().map(this->fd, this->mmap_len);
  FATAL_CHECK(this->addr != MAP_FAILED);
  this->frame_id = (uint64_t *)((uint8_t *)this->addr + this->len);
}

void VisionBuf::init_rgb(size_t init_width, size_t init_height, size_t init_stride) {
  this->rgb = true;
  this->width = init_width;
  this->height = init_height;
  this->stride = init_stride;
}

void VisionBuf::init_yuv(size_t init_width, size_t init_height, size_t init_stride, size_t init_uv_offset) {
  this->rgb = false;
  this->width = init_width;
  this->height = init_height;
  this->stride = init_stride;
  this->uv_offset = init_uv_offset;
  this->y = (uint8_t *)this->addr;
  this->uv = (uint8_t *)this->addr + init_uv_offset;
}

void VisionBuf::init_cl(cl_device_id device_id, cl_context ctx) {
  FATAL_CHECK(((uintptr_t)this->addr % DEVICE_PAGE_SIZE_CL) == 0);
  allocator().init_cl(this, device_id, ctx);
}

int VisionBuf::sync(int dir) {
  FATAL_CHECK(dir == VISIONBUF_SYNC_FROM_DEVICE || dir == VISIONBUF_SYNC_TO_DEVICE);
  return allocator().sync(this, dir);
}

int VisionBuf::free() {
  if (this->buf_cl) {
    int err = clReleaseMemObject(this->buf_cl);
    if (err != 0) return err;
  }
  int err = munmap(this->addr, this->mmap_len);
  if (err != 0) return err;
  err = close(this->fd);
  if (err != 0) return err;
  return allocator().release(this);
}
