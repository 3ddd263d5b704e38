#include "strand/messaging/msgq.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <new>
#include <random>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "common/fatal_check.h"
#include "common/util.h"
#include "strand/messaging/msgq_mapping_guard.h"

namespace {

constexpr auto ACQ = std::memory_order_acquire;
constexpr auto REL = std::memory_order_release;

constexpr size_t HEADER_SIZE = sizeof(msgq_header_t);
// A frame's size word; -1 marks the end of a cycle.
constexpr int64_t WRAP_MARKER = -1;

uint64_t pack(uint32_t cycles, uint32_t offset) { return (uint64_t(cycles) << 32) | offset; }
void unpack(uint64_t packed, uint32_t *cycles, uint32_t *offset) {
  *cycles = uint32_t(packed >> 32);
  *offset = uint32_t(packed & 0xFFFFFFFF);
}

// Frame length: size word plus payload, rounded up so the next size word is 8-aligned.
uint64_t frame_length(uint64_t payload_size) { return (payload_size + 8 + 7) & ~uint64_t(7); }

std::atomic<int64_t> *size_word(msgq_queue_t *q, uint64_t offset) {
  return reinterpret_cast<std::atomic<int64_t> *>(q->data + offset);
}

// A frame starts 8-aligned with room for its size word.
bool position_in_data_area(const msgq_queue_t *q, uint64_t offset) {
  return offset % 8 == 0 && offset + 8 <= q->size;
}

uint64_t monotonic_ns() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return uint64_t(t.tv_sec) * 1000000000 + uint64_t(t.tv_nsec);
}

uint32_t random_u32() {
  uint32_t value = 0;
  int fd = util::retry_eintr([] { return open("/dev/urandom", O_RDONLY | O_CLOEXEC); });
  if (fd >= 0) {
    ssize_t n = util::retry_eintr([&] { return read(fd, &value, sizeof(value)); });
    close(fd);
    if (n == sizeof(value)) return value;
  }
  // No random device (a sealed sandbox): uniqueness still holds through the thread id below.
  return std::random_device{}();
}

// Invalidates every reader of an older cycle whose next frame lies in [begin, end): the writer
// is about to overwrite it.
void invalidate_lapped_readers(msgq_queue_t *q, uint64_t num_readers, uint32_t write_cycles, uint64_t begin,
                               uint64_t end) {
  for (uint64_t i = 0; i < num_readers; i++) {
    uint32_t read_cycles, rp;
    unpack(q->read_pointers[i]->load(ACQ), &read_cycles, &rp);
    if (rp >= begin && rp < end && read_cycles != write_cycles) q->read_valids[i]->store(0, REL);
  }
}

// Says once per handle that a frame could not be trusted; the reader then skips ahead.
void report_damaged_frame(msgq_queue_t *q, uint32_t offset, int64_t size) {
  if (q->damage_reported) return;
  q->damage_reported = true;
  printf("Warning, %s: frame at offset %u has an impossible size %lld; the reader skips to the newest message\n",
         q->endpoint.c_str(), offset, (long long)size);
  fflush(stdout);
}

// Whether a frame of `size` bytes at `rp` can be read: a real payload that ends inside the data
// area (the writer wraps before the end, so anything else is damage).
bool frame_is_sound(const msgq_queue_t *q, uint32_t rp, int64_t size) {
  return size > 0 && uint64_t(size) < q->size && rp + 8 + uint64_t(size) <= q->size;
}

// The prefix directory of the queue files, made on demand so that a fresh prefix just works.
std::string queue_dir() {
  std::string dir = "/dev/shm/";
  if (const char *prefix = std::getenv("TAVRIN_PREFIX")) {
    dir += prefix;
    dir += "/";
    mkdir(dir.c_str(), 0775);  // EEXIST and the like: the open below reports what matters
  }
  return dir;
}

}  // namespace

void sigusr2_handler(int signal) {
  FATAL_CHECK(signal == SIGUSR2);
}

uint64_t msgq_get_uid() {
  uint64_t tid = uint64_t(syscall(SYS_gettid)) & 0xFFFFFFFF;
  return (uint64_t(random_u32()) << 32) | tid;
}

int msgq_msg_init_size(msgq_msg_t *msg, size_t size) {
  msg->size = size;
  msg->data = new (std::nothrow) char[size];
  if (msg->data == nullptr) {
    msg->size = 0;
    return -1;
  }
  return 0;
}

int msgq_msg_init_data(msgq_msg_t *msg, char *data, size_t size) {
  int r = msgq_msg_init_size(msg, size);
  if (r == 0) memcpy(msg->data, data, size);
  return r;
}

int msgq_msg_close(msgq_msg_t *msg) {
  delete[] msg->data;  // msgq_msg_init_size(msg, 0) still made a zero-length array
  msg->data = nullptr;
  msg->size = 0;
  return 0;
}

int msgq_new_queue(msgq_queue_t *q, const char *path, size_t size) {
  FATAL_CHECK(size < 0xFFFFFFFF);
  std::signal(SIGUSR2, sigusr2_handler);

  std::string full_path = queue_dir() + path;

  int fd = util::retry_eintr([&] { return open(full_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0664); });
  if (fd < 0) {
    printf("Warning, could not open: %s\n", full_path.c_str());
    fflush(stdout);
    return -1;
  }
  if (util::retry_eintr([&] { return ftruncate(fd, off_t(size + HEADER_SIZE)); }) < 0) {
    int err = errno;
    close(fd);
    errno = err;
    return -1;
  }
  struct stat st = {};
  void *mem = fstat(fd, &st) == 0 ? mmap(nullptr, size + HEADER_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)
                                  : MAP_FAILED;
  if (mem == MAP_FAILED) {
    int err = errno;
    close(fd);
    errno = err;
    return -1;
  }
  // The descriptor stays open: the truncation guard grows the file back through it.
  msgq_guard_mapping(mem, size + HEADER_SIZE, fd, full_path.c_str());

  char *base = static_cast<char *>(mem);
  auto word = [base](size_t offset) { return reinterpret_cast<std::atomic<uint64_t> *>(base + offset); };
  q->num_readers = word(offsetof(msgq_header_t, num_readers));
  q->write_pointer = word(offsetof(msgq_header_t, write_pointer));
  q->write_uid = word(offsetof(msgq_header_t, write_uid));
  for (int i = 0; i < MSGQ_READER_SLOTS; i++) {
    q->read_pointers[i] = word(offsetof(msgq_header_t, read_pointers) + i * sizeof(uint64_t));
    q->read_valids[i] = word(offsetof(msgq_header_t, read_valids) + i * sizeof(uint64_t));
    q->read_uids[i] = word(offsetof(msgq_header_t, read_uids) + i * sizeof(uint64_t));
  }
  q->mmap_p = base;
  q->data = base + HEADER_SIZE;
  q->size = size;
  q->reader_id = -1;
  q->read_conflate = false;
  q->endpoint = path;
  q->fd = fd;
  q->file_dev = st.st_dev;
  q->file_ino = st.st_ino;
  q->damage_reported = false;
  q->spin_skips = 0;
  q->spin_misses = 0;
  return 0;
}

void msgq_close_queue(msgq_queue_t *q) {
  if (q->mmap_p == nullptr) return;
  msgq_unguard_mapping(q->mmap_p);
  munmap(q->mmap_p, q->size + HEADER_SIZE);
  close(q->fd);
  q->fd = -1;
  q->mmap_p = nullptr;
  q->data = nullptr;
  msgq_forget_readers(q);
}

void msgq_init_publisher(msgq_queue_t *q) {
  uint64_t uid = msgq_get_uid();
  q->write_uid->store(uid, REL);
  // A file left by a queue with a larger data area (or damaged) may hold a write position
  // outside ours: start a new cycle now, so that readers registering from here on start at a
  // position they can use.
  uint32_t write_cycles, wp;
  unpack(q->write_pointer->load(ACQ), &write_cycles, &wp);
  if (!position_in_data_area(q, wp)) q->write_pointer->store(pack(write_cycles + 1, 0), REL);
  // Every reader registers again with the new publisher; the data and write position stay.
  q->num_readers->store(0, REL);
  for (int i = 0; i < MSGQ_READER_SLOTS; i++) {
    q->read_valids[i]->store(0, REL);
    q->read_uids[i]->store(0, REL);
  }
  q->write_uid_local = uid;
}

void msgq_init_subscriber(msgq_queue_t *q) {
  FATAL_CHECK(q != NULL);
  FATAL_CHECK(q->num_readers != NULL);
  uint64_t uid = msgq_get_uid();

  uint64_t cur;
  for (;;) {
    cur = q->num_readers->load(ACQ);
    if (cur + 1 > MSGQ_READER_SLOTS) {
      // All slots taken (possibly by readers long gone): evict everyone and wake them so they
      // register again.
      q->num_readers->store(0, REL);
      for (int i = 0; i < MSGQ_READER_SLOTS; i++) {
        q->read_valids[i]->store(0, REL);
        uint64_t old_uid = q->read_uids[i]->load(ACQ);
        q->read_uids[i]->store(0, REL);
        msgq_wake_evicted(q, old_uid);
      }
      continue;
    }
    if (q->num_readers->compare_exchange_strong(cur, cur + 1, std::memory_order_acq_rel)) break;
  }

  q->reader_id = int(cur);
  q->read_uid_local = uid;
  q->read_valids[cur]->store(0, REL);
  q->read_pointers[cur]->store(0, REL);
  q->read_uids[cur]->store(uid, REL);
  msgq_reset_reader(q);
}

void msgq_reset_reader(msgq_queue_t *q) {
  int id = q->reader_id;
  q->read_valids[id]->store(1, REL);
  q->read_pointers[id]->store(q->write_pointer->load(ACQ), REL);
}

int msgq_msg_send(msgq_msg_t *msg, msgq_queue_t *q) {
  // A reader would take a zero size word for a corrupt frame and stop: refuse it here.
  if (msg->size == 0) {
    errno = EINVAL;
    return -1;
  }
  uint64_t owner = q->write_uid->load(ACQ);
  if (owner == 0 && q->write_uid_local != 0) {
    // Nobody else took the queue: its file was emptied and grown back (the truncation guard).
    printf("Warning, %s lost its header: the publisher takes the queue again\n", q->endpoint.c_str());
    fflush(stdout);
    msgq_init_publisher(q);
  } else if (q->write_uid_local != owner) {
    printf("Killing old publisher: %s\n", q->endpoint.c_str());
    fflush(stdout);
    errno = EADDRINUSE;
    return -1;
  }

  uint64_t total_msg_size = frame_length(msg->size);
  // The data area holds at least three frames of any accepted size.
  FATAL_CHECK(3 * total_msg_size <= q->size);

  // Bounds every loop below; a count beyond the slots can only come from a damaged file.
  uint64_t num_readers = std::min<uint64_t>(q->num_readers->load(ACQ), MSGQ_READER_SLOTS);
  const uint64_t previous_write_pointer = q->write_pointer->load(ACQ);
  uint32_t write_cycles, wp;
  unpack(previous_write_pointer, &write_cycles, &wp);
  if (!position_in_data_area(q, wp)) {
    // The file was left by a queue with a larger data area (or damaged): start a new cycle.
    write_cycles += 1;
    wp = 0;
  }

  // Always leave at least 8 bytes plus one free after the last frame of a cycle, so the wrap
  // marker fits: a frame ending exactly 8 bytes before the end already wraps.
  int64_t remaining_space = int64_t(q->size) - int64_t(wp) - int64_t(total_msg_size) - 8;
  if (remaining_space <= 0) {
    size_word(q, wp)->store(WRAP_MARKER, REL);
    // Readers of the previous cycle still behind the marker lose the rest of that cycle.
    invalidate_lapped_readers(q, num_readers, write_cycles, uint64_t(wp) + 1, UINT64_MAX);
    write_cycles += 1;
    wp = 0;
    q->write_pointer->store(pack(write_cycles, wp), REL);
  }

  invalidate_lapped_readers(q, num_readers, write_cycles, wp, uint64_t(wp) + total_msg_size);
  const uint64_t frame_start = pack(write_cycles, wp);

  size_word(q, wp)->store(int64_t(msg->size), REL);
  memcpy(q->data + wp + 8, msg->data, msg->size);
  std::atomic_thread_fence(std::memory_order_seq_cst);

  // Publishing the new write pointer is what makes the frame visible to readers.
  q->write_pointer->store(pack(write_cycles, uint32_t(wp + total_msg_size)), REL);

  // Only a reader that had read everything before this frame can be asleep. Any other one is
  // still reading: it stores its position and then, after a full fence, tests for more
  // (msgq_msg_ready), while we store the write pointer and then, after this fence, load its
  // position; so either it sees this frame or we see it caught up and wake it.
  std::atomic_thread_fence(std::memory_order_seq_cst);
  for (uint64_t i = 0; i < num_readers; i++) {
    uint64_t reader_uid = q->read_uids[i]->load(ACQ);
    if (reader_uid == 0) continue;
    uint64_t rp = q->read_pointers[i]->load(ACQ);
    if (rp == previous_write_pointer || rp == frame_start) msgq_wake_reader(q, int(i), reader_uid);
  }
  return int(msg->size);
}

// Steps shared by receive and readiness: re-register after an eviction or takeover, resync
// after being lapped.
static void sync_reader(msgq_queue_t *q) {
  int id = q->reader_id;
  FATAL_CHECK(id >= 0);
  for (;;) {
    id = q->reader_id;
    if (q->read_uids[id]->load(ACQ) != q->read_uid_local) {
      msgq_init_subscriber(q);
      continue;
    }
    if (q->read_valids[id]->load(ACQ) == 0) {
      msgq_reset_reader(q);
      continue;
    }
    return;
  }
}

int msgq_msg_ready(msgq_queue_t *q) {
  sync_reader(q);
  int id = q->reader_id;
  // Our position stores before the write pointer load: the publisher's wake-up rule needs it.
  std::atomic_thread_fence(std::memory_order_seq_cst);
  uint32_t read_cycles, rp, write_cycles, wp;
  unpack(q->read_pointers[id]->load(ACQ), &read_cycles, &rp);
  unpack(q->write_pointer->load(ACQ), &write_cycles, &wp);
  return rp != wp ? 1 : 0;
}

int msgq_msg_recv(msgq_msg_t *msg, msgq_queue_t *q) {
  for (;;) {
    sync_reader(q);
    int id = q->reader_id;

    uint32_t read_cycles, rp, write_cycles, wp;
    unpack(q->read_pointers[id]->load(ACQ), &read_cycles, &rp);
    unpack(q->write_pointer->load(ACQ), &write_cycles, &wp);
    if (rp == wp) {
      msg->size = 0;
      return 0;
    }
    if (!position_in_data_area(q, rp)) {
      msgq_reset_reader(q);
      continue;
    }

    int64_t size = size_word(q, rp)->load(ACQ);
    if (q->read_valids[id]->load(ACQ) == 0) {
      msgq_reset_reader(q);
      continue;
    }
    if (size == WRAP_MARKER) {
      q->read_pointers[id]->store(pack(read_cycles + 1, 0), REL);
      continue;
    }
    if (!frame_is_sound(q, rp, size)) {
      // A damaged file: resynchronise as for a position outside the area, and go on.
      report_damaged_frame(q, rp, size);
      msgq_reset_reader(q);
      continue;
    }

    uint32_t new_read_pointer = uint32_t(frame_length(uint64_t(size)) + rp);
    if (q->read_conflate && new_read_pointer != wp) {
      // Not the newest message: skip it without copying.
      q->read_pointers[id]->store(pack(read_cycles, new_read_pointer), REL);
      continue;
    }

    msg->size = size_t(size);
    msg->data = new (std::nothrow) char[msg->size];
    if (msg->data == nullptr) {
      msg->size = 0;
      return -1;
    }

    std::atomic_thread_fence(std::memory_order_seq_cst);
    memcpy(msg->data, q->data + rp + 8, msg->size);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    q->read_pointers[id]->store(pack(read_cycles, new_read_pointer), REL);

    if (q->read_valids[id]->load(ACQ) == 0) {
      // The writer lapped us during the copy: what we copied may be torn.
      msgq_msg_close(msg);
      msgq_reset_reader(q);
      continue;
    }
    return int(msg->size);
  }
}

namespace {

// How long a reader watches its queues before it sleeps: about what a wake-up through the
// signal costs on two cores, so that watching in vain costs at most as much again as sleeping
// would have.
constexpr uint64_t SPIN_NS = 10000;
// After n watches in a row that saw nothing, the next 2^n - 1 waits do not watch (n <= 6): a
// reader whose messages do not come that close together soon watches at most once in 64 waits.
constexpr uint32_t MAX_SPIN_MISSES = 6;

void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
  asm volatile("yield");
#endif
}

// Holds the publishers' wake-up signal back from this thread while it looks for messages and
// sleeps: one sent meanwhile stays pending and ends the sleep at once (or is dropped once the
// message it announces has been seen), with no signal handler run. The thread's mask is put
// back as it was.
class WakeupsHeld {
 public:
  WakeupsHeld() {
    sigemptyset(&wakeup_);
    sigaddset(&wakeup_, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &wakeup_, &previous_);
  }
  ~WakeupsHeld() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  WakeupsHeld(const WakeupsHeld &) = delete;
  WakeupsHeld &operator=(const WakeupsHeld &) = delete;

  // Sleeps until a wake-up comes (true), `ns` pass, or another signal's handler runs.
  bool sleep(uint64_t ns) {
    timespec ts = {time_t(ns / 1000000000), long(ns % 1000000000)};
    return sigtimedwait(&wakeup_, nullptr, &ts) == SIGUSR2;
  }
  // Takes a pending wake-up away: the message it announces has been seen.
  void drop_pending() {
    timespec now = {0, 0};
    sigtimedwait(&wakeup_, nullptr, &now);
  }

 private:
  sigset_t wakeup_, previous_;
};

// Whether anything changed for this reader since it last looked: cheap enough to ask in a
// tight loop, and never wrong in saying no for long (msgq_msg_ready decides).
bool may_have_news(const msgq_queue_t *q) {
  int id = q->reader_id;
  if (id < 0) return true;
  return q->write_pointer->load(ACQ) != q->read_pointers[id]->load(std::memory_order_relaxed) ||
         q->read_valids[id]->load(std::memory_order_relaxed) == 0 ||
         q->read_uids[id]->load(std::memory_order_relaxed) != q->read_uid_local;
}

int mark_ready_items(msgq_pollitem_t *items, size_t nitems) {
  int num = 0;
  for (size_t i = 0; i < nitems; i++) {
    items[i].revents = msgq_msg_ready(items[i].q);
    num += items[i].revents;
  }
  return num;
}

// Whether the queues' recent waits make a watch worthwhile; counts a skipped wait.
bool watch_worthwhile(msgq_pollitem_t *items, size_t nitems) {
  static const bool several_cpus = sysconf(_SC_NPROCESSORS_ONLN) > 1;
  if (!several_cpus) return false;  // the publisher could not run while we watch
  bool worthwhile = false;
  for (size_t i = 0; i < nitems; i++) {
    msgq_queue_t *q = items[i].q;
    if (q->spin_skips == 0) {
      worthwhile = true;
    } else {
      q->spin_skips--;
    }
  }
  return worthwhile;
}

void record_watch(msgq_pollitem_t *items, size_t nitems, bool seen) {
  for (size_t i = 0; i < nitems; i++) {
    msgq_queue_t *q = items[i].q;
    if (seen) {
      q->spin_misses = 0;
      q->spin_skips = 0;
    } else {
      q->spin_misses = std::min(q->spin_misses + 1, MAX_SPIN_MISSES);
      q->spin_skips = (1u << q->spin_misses) - 1;
    }
  }
}

}  // namespace

int msgq_poll_spin(msgq_pollitem_t *items, size_t nitems) {
  for (size_t i = 0; i < nitems; i++) items[i].revents = 0;
  if (nitems == 0 || !watch_worthwhile(items, nitems)) return 0;

  WakeupsHeld wakeups;
  int num = 0;
  const uint64_t deadline = monotonic_ns() + SPIN_NS;
  for (int round = 0; num == 0; round++) {
    for (size_t i = 0; i < nitems; i++) {
      if (may_have_news(items[i].q)) {
        num = mark_ready_items(items, nitems);
        break;
      }
    }
    if (num == 0) {
      if (round % 16 == 15 && monotonic_ns() >= deadline) break;
      cpu_relax();
    }
  }
  record_watch(items, nitems, num > 0);
  // A caught-up reader is always signalled: the signal for what we found is due or pending.
  if (num > 0) wakeups.drop_pending();
  return num;
}

int msgq_poll_sleep(msgq_pollitem_t *items, size_t nitems, int timeout) {
  if (nitems == 0) {
    // Nothing can arrive: a caller polling in a loop still waits as long as it asked.
    if (timeout > 0) {
      const uint64_t deadline = monotonic_ns() + uint64_t(timeout) * 1000000;
      for (uint64_t now = monotonic_ns(); now < deadline; now = monotonic_ns()) {
        timespec ts = {time_t((deadline - now) / 1000000000), long((deadline - now) % 1000000000)};
        ppoll(nullptr, 0, &ts, nullptr);
      }
    }
    return 0;
  }

  // Wake-ups are held back from before the first readiness test until the sleep: one sent in
  // between stays pending and ends the sleep at once instead of being lost (which would hold
  // the message back for the whole sleep).
  WakeupsHeld wakeups;
  int num = mark_ready_items(items, nitems);
  if (timeout == 0) return num;

  const int ms = (timeout == -1) ? 100 : timeout;
  const uint64_t deadline = monotonic_ns() + uint64_t(ms) * 1000000;
  while (num == 0) {
    // Unbounded: every sleep is a full slice. Bounded: an interrupted sleep goes on only for
    // the time left, so the poll never waits longer than asked in total.
    uint64_t now = monotonic_ns();
    uint64_t left = (timeout == -1) ? uint64_t(ms) * 1000000 : (deadline > now ? deadline - now : 0);
    wakeups.sleep(left);
    num = mark_ready_items(items, nitems);
    if (timeout != -1 && monotonic_ns() >= deadline) break;
  }
  return num;
}

int msgq_poll(msgq_pollitem_t *items, size_t nitems, int timeout) {
  if (timeout != 0) {
    int num = msgq_poll_spin(items, nitems);
    if (num > 0) return num;
  }
  return msgq_poll_sleep(items, nitems, timeout);
}

bool msgq_all_readers_updated(msgq_queue_t *q) {
  uint64_t num_readers = q->num_readers->load(ACQ);
  if (num_readers == 0) return false;
  uint64_t write_pointer = q->write_pointer->load(ACQ);
  for (uint64_t i = 0; i < num_readers && i < MSGQ_READER_SLOTS; i++) {
    if (q->read_valids[i]->load(ACQ) == 1 && q->read_pointers[i]->load(ACQ) != write_pointer) return false;
  }
  return true;
}

void msgq_wait_for_subscriber(msgq_queue_t *q) {
  while (q->num_readers->load(ACQ) == 0) {
  }
}
