#pragma once

// Keeps queue mappings usable when their file is truncated under them. Touching a mapped page
// past the end of a shrunken file raises SIGBUS, which would end the publisher (or a reader) of
// a queue that some other process cut short. While a mapping is guarded, a SIGBUS inside it
// grows the file back to the mapping's length (the lost part reads as zeros: an empty header
// and data that readers resynchronise past), says so on standard output, and the faulting
// access is repeated. Faults elsewhere go to whatever SIGBUS handling was there before.
//
// Costs nothing on the hot path: the check runs only when the fault happens. The guard keeps
// the queue's descriptor, which the caller leaves open while the mapping is guarded.

#include <cstddef>

// Guards [base, base + length) backed by `fd`; `name` (the queue file) is quoted in the notice.
// False when no guard slot is left (the mapping then works unguarded).
bool msgq_guard_mapping(void *base, size_t length, int fd, const char *name);
void msgq_unguard_mapping(void *base);
