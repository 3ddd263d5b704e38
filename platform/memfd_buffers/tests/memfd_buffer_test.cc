#include "platform/memfd_buffers/memfd_buffer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <sys/mman.h>
#include <unistd.h>

#include "tests/support/child_process.h"

namespace {

TEST(MemfdBuffer, NewFileIsZeroedAndSharedBetweenMappings) {
  const size_t size = 3 * 4096 + 8;
  int fd = memfd_buffer::create(size);
  ASSERT_GE(fd, 0);
  auto *a = (unsigned char *)memfd_buffer::map(fd, size);
  auto *b = (unsigned char *)memfd_buffer::map(fd, size);
  ASSERT_NE(a, MAP_FAILED);
  ASSERT_NE(b, MAP_FAILED);
  for (size_t i = 0; i < size; i++) ASSERT_EQ(a[i], 0) << "byte " << i;
  a[size - 1] = 0x5a;
  EXPECT_EQ(b[size - 1], 0x5a);
  munmap(a, size);
  munmap(b, size);
  close(fd);
}

TEST(MemfdBuffer, ChildWritesAreSeenByParent) {
  const size_t size = 4096;
  int fd = memfd_buffer::create(size);
  ASSERT_GE(fd, 0);
  auto *p = (unsigned char *)memfd_buffer::map(fd, size);
  ASSERT_NE(p, MAP_FAILED);
  pid_t pid = fork_child([&] {
    // The child maps the descriptor afresh, as an importing process does.
    auto *q = (unsigned char *)memfd_buffer::map(fd, size);
    if (q == MAP_FAILED) return 1;
    q[123] = 77;
    return 0;
  });
  ASSERT_GE(pid, 0);
  ASSERT_EQ(wait_child(pid), 0);
  EXPECT_EQ(p[123], 77);
  munmap(p, size);
  close(fd);
}

TEST(MemfdBuffer, SizeIsSealedAgainstPeers) {
  int fd = memfd_buffer::create(8192);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(ftruncate(fd, 4096), -1);
  EXPECT_EQ(errno, EPERM);
  EXPECT_EQ(ftruncate(fd, 16384), -1);
  EXPECT_EQ(errno, EPERM);
  close(fd);
}

TEST(MemfdBuffer, MappingMoreThanTheFileHoldsFails) {
  int fd = memfd_buffer::create(100);
  ASSERT_GE(fd, 0);
  errno = 0;
  EXPECT_EQ(memfd_buffer::map(fd, 101), MAP_FAILED);
  EXPECT_EQ(errno, EINVAL);
  void *p = memfd_buffer::map(fd, 100);
  EXPECT_NE(p, MAP_FAILED);
  munmap(p, 100);
  close(fd);
  EXPECT_EQ(memfd_buffer::map(fd, 100), MAP_FAILED);  // closed descriptor
}

}  // namespace
