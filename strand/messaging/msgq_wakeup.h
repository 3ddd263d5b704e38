#pragma once

// Wake-ups of a queue's readers. A reader slot names its thread only by a thread id inside its
// uid, and a slot outlives the reader that took it: once that thread is gone its id may belong
// to any thread of any process, whose default SIGUSR2 action would end it. So a publisher signals
// a slot's thread only after checking, once per registration, that the thread is alive and
// belongs to a process that maps this very queue file, and from then on through a descriptor
// pinned to that thread (pidfd), which can never reach another thread. Where the kernel has no
// thread descriptors, the thread's start time stands for its identity and is compared before
// each signal instead.

#include <cstdint>

struct msgq_queue_t;

// Per-slot memory of the last check, kept in the publisher's handle.
struct msgq_reader_wakeup_t {
  uint64_t uid = 0;         // the slot uid the check below belongs to; 0: never checked
  int pidfd = -1;           // descriptor of that uid's thread, when the kernel has them
  uint64_t start_time = 0;  // the thread's start time, where it has not
  bool live = false;        // the thread was a live thread of a process that maps the queue
};

// Signals the thread of slot `slot`, registered as `uid`, if it is a live reader of `q`.
void msgq_wake_reader(msgq_queue_t *q, int slot, uint64_t uid);
// The same for a uid that will not be signalled again (an evicted reader).
void msgq_wake_evicted(msgq_queue_t *q, uint64_t uid);
// Closes the descriptors the handle keeps for wake-ups.
void msgq_forget_readers(msgq_queue_t *q);
