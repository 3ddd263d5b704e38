#pragma once

// Shared memory for camera frame buffers on machines without an ION allocator. A buffer is an
// anonymous memory file: its descriptor is what another process receives, and mapping that
// descriptor there shows the same pages. The CPU is the only device touching the memory on
// such machines, so no cache maintenance is ever needed.

#include <cstddef>

namespace memfd_buffer {

// A new memory file of exactly `size` bytes, all zero. Its size is sealed, so a process that
// received the descriptor can neither shrink it under another's mapping (which would fault
// that process on its next access) nor grow it. Returns the descriptor, or -1 with errno set.
int create(size_t size);

// Maps `size` bytes of the memory file `fd` readable, writable and shared. Fails with EINVAL
// when the file holds fewer than `size` bytes, since touching pages past its end would fault.
// Returns the address, or MAP_FAILED with errno set.
void *map(int fd, size_t size);

}  // namespace memfd_buffer
