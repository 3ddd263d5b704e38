// VisionBuf on this machine's allocator (memory files where /dev/ion is missing): layout of
// the mapping, sharing between processes, OpenCL views, release, and the fatal checks.

#include "strand/visionipc/visionbuf.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "strand/visionipc/tests/cl_test_device.h"
#include "tests/support/child_process.h"

namespace {

// A second view of `src` as another process would build it from a received record.
VisionBuf import_copy(const VisionBuf &src) {
  VisionBuf dst;
  dst.len = src.len;
  dst.mmap_len = src.mmap_len;
  dst.fd = dup(src.fd);
  dst.import();
  return dst;
}

TEST(VisionBuf, AllocateMapsImagePlusFrameIdSlotZeroed) {
  VisionBuf buf;
  buf.allocate(100);
  EXPECT_EQ(buf.len, 100u);
  EXPECT_EQ(buf.mmap_len, 108u);
  EXPECT_EQ((uint8_t *)buf.frame_id, (uint8_t *)buf.addr + 100);
  EXPECT_EQ(buf.get_frame_id(), 0u);
  EXPECT_EQ((uintptr_t)buf.addr % DEVICE_PAGE_SIZE_CL, 0u);
  EXPECT_GE(buf.fd, 0);
  for (size_t i = 0; i < buf.mmap_len; i++) ASSERT_EQ(((uint8_t *)buf.addr)[i], 0) << "byte " << i;
  EXPECT_EQ(buf.free(), 0);
}

TEST(VisionBuf, ImportSharesImageAndFrameId) {
  VisionBuf a;
  a.allocate(4096 * 3);
  VisionBuf b = import_copy(a);
  ASSERT_NE(b.addr, a.addr);
  EXPECT_EQ((uint8_t *)b.frame_id, (uint8_t *)b.addr + b.len);

  a.set_frame_id(42);
  EXPECT_EQ(b.get_frame_id(), 42u);
  memset(b.addr, 0xab, b.len);
  EXPECT_EQ(((uint8_t *)a.addr)[a.len - 1], 0xab);
  EXPECT_EQ(a.get_frame_id(), 42u);  // the image write stopped at the slot

  EXPECT_EQ(b.free(), 0);
  // The first view stays valid after the second is gone.
  EXPECT_EQ(((uint8_t *)a.addr)[0], 0xab);
  EXPECT_EQ(a.free(), 0);
}

TEST(VisionBuf, ImportInAnotherProcess) {
  VisionBuf a;
  a.allocate(1000);
  const pid_t pid = fork_child([&] {
    VisionBuf b = import_copy(a);
    memset(b.addr, 7, b.len);
    b.set_frame_id(1234);
    return b.free() == 0 ? 0 : 1;
  });
  ASSERT_GT(pid, 0);
  ASSERT_EQ(wait_child(pid), 0);
  EXPECT_EQ(((uint8_t *)a.addr)[999], 7);
  EXPECT_EQ(a.get_frame_id(), 1234u);
  EXPECT_EQ(a.free(), 0);
}

TEST(VisionBuf, InitYuvAndRgbLayout) {
  VisionBuf buf;
  buf.allocate(1928 * 1208 * 3 / 2);
  buf.init_yuv(1928, 1208, 1928, 1928 * 1208);
  EXPECT_FALSE(buf.rgb);
  EXPECT_EQ(buf.y, (uint8_t *)buf.addr);
  EXPECT_EQ(buf.uv, buf.y + 1928 * 1208);
  EXPECT_EQ(buf.stride, 1928u);
  EXPECT_EQ(buf.uv_offset, 1928u * 1208);

  // init_rgb switches the kind and keeps the NV12 plane pointers as they were.
  buf.init_rgb(10, 20, 30);
  EXPECT_TRUE(buf.rgb);
  EXPECT_EQ(buf.width, 10u);
  EXPECT_EQ(buf.height, 20u);
  EXPECT_EQ(buf.stride, 30u);
  EXPECT_EQ(buf.uv, buf.y + 1928 * 1208);
  EXPECT_EQ(buf.free(), 0);
}

// Cache maintenance is real only on ION (memory files have coherent caches and nothing to do),
// so this runs on the device: both ioctls must succeed on a fresh buffer.
TEST(VisionBuf, IonSyncSucceedsInBothDirections) {
  if (!visionbuf_uses_ion()) GTEST_SKIP() << "no /dev/ion: memory files need no cache maintenance";
  VisionBuf buf;
  buf.allocate(64);
  EXPECT_EQ(buf.sync(VISIONBUF_SYNC_FROM_DEVICE), 0);
  EXPECT_EQ(buf.sync(VISIONBUF_SYNC_TO_DEVICE), 0);
  EXPECT_EQ(buf.free(), 0);
}

TEST(VisionBuf, FreeReleasesMappingAndDescriptor) {
  VisionBuf buf;
  buf.allocate(4096);
  int fd = buf.fd;
  void *addr = buf.addr;
  ASSERT_EQ(buf.free(), 0);
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);
  // The pages are gone: msync on an unmapped range fails with ENOMEM.
  EXPECT_EQ(msync(addr, 4096, MS_ASYNC), -1);
  EXPECT_EQ(errno, ENOMEM);
}

TEST(VisionBuf, FreeReportsTheFirstFailure) {
  VisionBuf buf;
  buf.allocate(4096);
  close(buf.fd);  // someone else closed our descriptor: the close step fails
  EXPECT_EQ(buf.free(), -1);
}

TEST(VisionBuf, OpenClViewAliasesTheSharedPages) {
  ClTestDevice cl;
  if (!cl.ok()) GTEST_SKIP() << "no OpenCL CPU device";

  VisionBuf server;
  server.allocate(4096);
  server.init_cl(cl.device, cl.context);
  ASSERT_NE(server.buf_cl, nullptr);

  // The client's view, with an OpenCL buffer of its own, over the bytes the server wrote.
  for (size_t i = 0; i < server.len; i++) ((uint8_t *)server.addr)[i] = (uint8_t)(i * 7);
  VisionBuf client = import_copy(server);
  client.init_cl(cl.device, cl.context);

  std::vector<uint8_t> read_back(client.len);
  ASSERT_EQ(clEnqueueReadBuffer(cl.queue, client.buf_cl, CL_TRUE, 0, client.len, read_back.data(), 0, nullptr,
                                nullptr),
            CL_SUCCESS);
  for (size_t i = 0; i < client.len; i++) ASSERT_EQ(read_back[i], (uint8_t)(i * 7)) << "byte " << i;

  // A kernel writing through the client's cl_mem lands in the server's mapping: no copy.
  ASSERT_TRUE(cl.run_invert(client.buf_cl, client.len));
  for (size_t i = 0; i < server.len; i++) {
    ASSERT_EQ(((uint8_t *)server.addr)[i], (uint8_t)~(uint8_t)(i * 7)) << "byte " << i;
  }

  EXPECT_EQ(client.free(), 0);
  EXPECT_EQ(server.free(), 0);
}

using VisionBufDeathTest = ::testing::Test;

TEST_F(VisionBufDeathTest, FatalChecks) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  VisionBuf buf;
  buf.allocate(64);
  EXPECT_DEATH(buf.sync(2), "dir == VISIONBUF_SYNC_FROM_DEVICE \\|\\| dir == VISIONBUF_SYNC_TO_DEVICE");

  VisionBuf unaligned = buf;
  unaligned.addr = (uint8_t *)buf.addr + 8;
  EXPECT_DEATH(unaligned.init_cl(nullptr, nullptr), "\\(\\(uintptr_t\\)this->addr % DEVICE_PAGE_SIZE_CL\\) == 0");

  VisionBuf no_fd;
  no_fd.fd = -1;
  no_fd.len = 64;
  no_fd.mmap_len = 72;
  EXPECT_DEATH(no_fd.import(), "this->fd >= 0");

  // A record whose descriptor holds less than it claims cannot be mapped.
  VisionBuf too_long;
  too_long.fd = buf.fd;
  too_long.len = 1 << 20;
  too_long.mmap_len = (1 << 20) + 8;
  EXPECT_DEATH(too_long.import(), "this->addr != MAP_FAILED");

  // A record putting the frame-id slot outside the mapping is refused before mapping.
  VisionBuf slot_outside;
  slot_outside.fd = buf.fd;
  slot_outside.len = 72;
  slot_outside.mmap_len = 72;
  EXPECT_DEATH(slot_outside.import(), "this->len <= this->mmap_len - sizeof\\(uint64_t\\)");
  EXPECT_EQ(buf.free(), 0);
}

}  // namespace
