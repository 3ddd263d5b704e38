#include "platform/memfd_buffers/memfd_buffer.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/util.h"

namespace memfd_buffer {

int create(size_t size) {
  int fd = memfd_create("visionbuf", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd < 0) return -1;
  // A fresh file extended by ftruncate reads as zeros: that is the zero fill.
  if (util::retry_eintr([&] { return ftruncate(fd, (off_t)size); }) != 0 ||
      fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
    int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

void *map(int fd, size_t size) {
  struct stat st;
  if (fstat(fd, &st) != 0) return MAP_FAILED;
  if (st.st_size < 0 || (size_t)st.st_size < size) {
    errno = EINVAL;
    return MAP_FAILED;
  }
  return mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
}

}  // namespace memfd_buffer
