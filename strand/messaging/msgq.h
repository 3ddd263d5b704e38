#pragma once

// A lock-free queue of variable-length messages from one publisher to up to twelve
// subscribers, in a memory-mapped file under /dev/shm shared by every process of the device.
//
// File: a 312-byte header (msgq_header_t) followed by a ring-shaped data area of frames. Each
// frame is an 8-byte signed payload size followed by the payload, padded to a multiple of 8;
// a size of -1 is a wrap marker sending readers back to offset 0 in the next cycle. Positions
// are packed as (cycles << 32 | offset). The publisher never waits: a reader it laps is
// marked invalid and later resumes at the newest message. A reader that meets a frame it
// cannot trust (a damaged file) says so once and resumes at the newest message too.
//
// Wake-ups: after a message the publisher sends SIGUSR2 to the thread of every registered
// reader that had read everything before it, the only readers that may be asleep; a reader
// still busy with earlier messages finds this one before it sleeps (both sides order their
// position stores before their loads with a full fence). Only live reader threads of this
// queue are signalled (msgq_wakeup.h). A sleeping reader takes the signal while holding it
// blocked (sigtimedwait), so no handler runs on the way; one that arrives at any other moment
// meets the process-wide handler, which does nothing. Before it sleeps, a reader watches its
// queues for a moment (msgq_poll_spin), which spares the signal's round trip when the
// publisher answers quickly.
//
// Calling order: msgq_new_queue; then msgq_init_publisher on the writing side or
// msgq_init_subscriber on each reading side; sends, receives, polls; msgq_close_queue.
// A handle is used by one thread at a time.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "strand/messaging/msgq_wakeup.h"

#define MSGQ_READER_SLOTS 12
// Data-area size of every topic queue opened by the messaging sockets.
#define MSGQ_QUEUE_SIZE 10485760

// The shared header. Every word is read and written with 64-bit atomic accesses; the layout
// is fixed because processes built separately map the same file.
struct msgq_header_t {
  uint64_t num_readers;                       // reader slots handed out, 0..12
  uint64_t write_pointer;                     // packed position of the next frame to write
  uint64_t write_uid;                         // uid of the publisher that owns the queue
  uint64_t read_pointers[MSGQ_READER_SLOTS];  // per slot: packed position of the next frame to read
  uint64_t read_valids[MSGQ_READER_SLOTS];    // per slot: 1 valid, 0 lapped or not yet synchronised
  uint64_t read_uids[MSGQ_READER_SLOTS];      // per slot: uid of the holder, 0 when free
};

static_assert(sizeof(msgq_header_t) == 312, "the queue header is 312 bytes");
static_assert(offsetof(msgq_header_t, num_readers) == 0);
static_assert(offsetof(msgq_header_t, write_pointer) == 8);
static_assert(offsetof(msgq_header_t, write_uid) == 16);
static_assert(offsetof(msgq_header_t, read_pointers) == 24);
static_assert(offsetof(msgq_header_t, read_valids) == 120);
static_assert(offsetof(msgq_header_t, read_uids) == 216);
// Header words are accessed in place through std::atomic, which must then be a bare word.
static_assert(sizeof(std::atomic<uint64_t>) == sizeof(uint64_t));
static_assert(std::atomic<uint64_t>::is_always_lock_free);

// Process-local handle of one mapped queue. Fields point into the mapping.
struct msgq_queue_t {
  std::atomic<uint64_t> *num_readers = nullptr;
  std::atomic<uint64_t> *write_pointer = nullptr;
  std::atomic<uint64_t> *write_uid = nullptr;
  std::atomic<uint64_t> *read_pointers[MSGQ_READER_SLOTS] = {};
  std::atomic<uint64_t> *read_valids[MSGQ_READER_SLOTS] = {};
  std::atomic<uint64_t> *read_uids[MSGQ_READER_SLOTS] = {};
  char *mmap_p = nullptr;  // start of the mapping; null while nothing is mapped
  char *data = nullptr;    // start of the data area (mmap_p + 312)
  size_t size = 0;         // data-area size in bytes
  int reader_id = -1;      // this handle's reader slot; -1 until registered
  uint64_t read_uid_local = 0;
  uint64_t write_uid_local = 0;
  bool read_conflate = false;  // deliver only the newest message
  std::string endpoint;
  // Process-local additions: the open queue file (kept for the truncation guard and to name
  // the file to wake-up checks), the publisher's wake-up checks, and whether a damaged frame
  // was already reported.
  int fd = -1;
  uint64_t file_dev = 0;
  uint64_t file_ino = 0;
  msgq_reader_wakeup_t wakeups[MSGQ_READER_SLOTS];
  bool damage_reported = false;
  // How eagerly this reader watches the queue before sleeping (msgq_poll_spin): waits still
  // to pass without watching, and watches in a row that saw nothing.
  uint32_t spin_skips = 0;
  uint32_t spin_misses = 0;
};

// A message payload: `data` is an array made with new[], owned once a receive or an init
// function has filled it (when size is not 0).
struct msgq_msg_t {
  size_t size = 0;
  char *data = nullptr;
};

struct msgq_pollitem_t {
  msgq_queue_t *q;
  int revents;  // 1 when the queue has a message for this reader, else 0
};

// Maps /dev/shm/[$TAVRIN_PREFIX/]<path>, creating it (mode 0664) and sizing it to 312 + size;
// the prefix directory is made when missing. 0, or -1 with errno set when the file cannot be
// opened, sized or mapped. size < 0xFFFFFFFF. Also (re)installs the process-wide SIGUSR2
// handler, and guards the mapping against the file being truncated (msgq_mapping_guard.h).
int msgq_new_queue(msgq_queue_t *q, const char *path, size_t size);
void msgq_close_queue(msgq_queue_t *q);

// Takes the queue over: any earlier publisher is refused from its next send on and every
// subscriber registers again.
void msgq_init_publisher(msgq_queue_t *q);
// Takes a reader slot, evicting all twelve holders when none is left.
void msgq_init_subscriber(msgq_queue_t *q);
// Moves this reader to the newest position and marks it valid.
void msgq_reset_reader(msgq_queue_t *q);

// Publishes one message; the caller keeps `msg`. Returns the payload size, or -1 with errno
// EADDRINUSE when another publisher owns the queue, EINVAL for an empty payload. A payload
// must satisfy 3 * (size + 8 rounded up to 8) <= queue size, else the process stops. A queue
// whose header was wiped (its file emptied and grown back) is taken again, with a warning.
int msgq_msg_send(msgq_msg_t *msg, msgq_queue_t *q);
// The next message for this reader: its size (> 0) with `msg` filled and owning its payload;
// 0 when nothing is new; -1 when the payload cannot be allocated (read again next time).
int msgq_msg_recv(msgq_msg_t *msg, msgq_queue_t *q);
// 1 when a message waits for this reader, else 0.
int msgq_msg_ready(msgq_queue_t *q);
// Waits at most `timeout` ms (-1: until a message is there) and returns the number of items
// with a waiting message, their revents set. With no items it sleeps out a finite timeout and
// returns 0 (at once for -1, which would never end). Unless `timeout` is 0 it first watches
// (msgq_poll_spin), then sleeps (msgq_poll_sleep).
int msgq_poll(msgq_pollitem_t *items, size_t nitems, int timeout);
// Watches the items for at most 10 us without sleeping, when their recent waits make it
// worthwhile: as long as messages keep coming within the watch, every wait watches; after n
// watches in vain the next 2^n - 1 waits do not (n <= 6), and a single processor never
// watches. Returns like a poll with timeout 0. The publishers' wake-up signal is held back
// meanwhile, and the one announcing what was seen is dropped.
int msgq_poll_spin(msgq_pollitem_t *items, size_t nitems);
// The sleeping part of msgq_poll: the publishers' wake-up signal ends the sleep, even in a
// thread that keeps it blocked; a handler of another signal interrupts it only for as long as
// it runs.
int msgq_poll_sleep(msgq_pollitem_t *items, size_t nitems, int timeout);
// True when a reader is registered and every valid reader has read everything.
bool msgq_all_readers_updated(msgq_queue_t *q);
// Spins until at least one reader slot is taken.
void msgq_wait_for_subscriber(msgq_queue_t *q);

// Payload helpers; they never throw. 0, or -1 when the allocation fails.
int msgq_msg_init_size(msgq_msg_t *msg, size_t size);
int msgq_msg_init_data(msgq_msg_t *msg, char *data, size_t size);
int msgq_msg_close(msgq_msg_t *msg);

// A fresh registration id: 32 random bits above the caller's thread id.
uint64_t msgq_get_uid();
void sigusr2_handler(int signal);
