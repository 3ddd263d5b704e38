#include "strand/messaging/msgq_wakeup.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/util.h"
#include "strand/messaging/msgq.h"

namespace {

// From the kernel's pidfd interface (Linux 6.9), which older headers lack.
constexpr unsigned PIDFD_THREAD_FLAG = O_EXCL;
constexpr unsigned PIDFD_SIGNAL_THREAD_FLAG = 1;

int open_thread_pidfd(uint32_t tid) { return int(syscall(SYS_pidfd_open, tid, PIDFD_THREAD_FLAG)); }

int signal_through(int pidfd, int sig) {
  return int(syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, PIDFD_SIGNAL_THREAD_FLAG));
}

std::string read_proc(uint32_t tid, const char *what) {
  std::string path = "/proc/" + std::to_string(tid) + "/" + what;
  int fd = util::retry_eintr([&] { return open(path.c_str(), O_RDONLY | O_CLOEXEC); });
  if (fd < 0) return "";
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = util::retry_eintr([&] { return read(fd, buf, sizeof(buf)); })) > 0) text.append(buf, size_t(n));
  close(fd);
  return text;
}

// The thread's start time in clock ticks since boot (field 22 of its stat line); 0 when the
// thread does not exist.
uint64_t thread_start_time(uint32_t tid) {
  std::string stat = read_proc(tid, "stat");
  size_t end_of_name = stat.rfind(')');
  if (end_of_name == std::string::npos) return 0;
  const char *p = stat.c_str() + end_of_name + 1;
  for (int field = 3; field < 22 && *p; field++) {  // fields 3..21 precede the start time
    p = strchr(p + 1, ' ');
    if (!p) return 0;
  }
  return strtoull(p, nullptr, 10);
}

// Whether the process of thread `tid` has the file (device, inode) mapped.
bool thread_maps_file(uint32_t tid, uint64_t dev, uint64_t ino) {
  std::string maps = read_proc(tid, "maps");
  size_t pos = 0;
  while (pos < maps.size()) {
    size_t eol = maps.find('\n', pos);
    if (eol == std::string::npos) eol = maps.size();
    unsigned maj = 0, min = 0;
    unsigned long long inode = 0;
    std::string line = maps.substr(pos, eol - pos);
    if (sscanf(line.c_str(), "%*x-%*x %*s %*x %x:%x %llu", &maj, &min, &inode) == 3 && inode == ino &&
        makedev(maj, min) == dev) {
      return true;
    }
    pos = eol + 1;
  }
  return false;
}

void forget(msgq_reader_wakeup_t *w) {
  if (w->pidfd >= 0) close(w->pidfd);
  *w = msgq_reader_wakeup_t();
}

// Pins the thread behind `uid` (descriptor or start time), then checks that its process maps
// the queue, then that the pinned thread is still the one that was looked at.
void check_reader(const msgq_queue_t *q, uint64_t uid, msgq_reader_wakeup_t *w) {
  forget(w);
  w->uid = uid;
  uint32_t tid = uint32_t(uid & 0xFFFFFFFF);
  if (tid == 0) return;
  w->pidfd = open_thread_pidfd(tid);
  if (w->pidfd < 0) {
    if (errno == ESRCH) return;  // no such thread
    // No thread descriptors on this kernel (EINVAL before 6.9, ENOSYS before 5.3).
    w->start_time = thread_start_time(tid);
    if (w->start_time == 0) return;
  }
  if (!thread_maps_file(tid, q->file_dev, q->file_ino)) return;
  w->live = w->pidfd >= 0 ? signal_through(w->pidfd, 0) == 0 : thread_start_time(tid) == w->start_time;
}

void wake(msgq_reader_wakeup_t *w) {
  if (!w->live) return;
  uint32_t tid = uint32_t(w->uid & 0xFFFFFFFF);
  if (w->pidfd >= 0) {
    w->live = signal_through(w->pidfd, SIGUSR2) == 0;  // fails once the thread has ended
  } else if (thread_start_time(tid) == w->start_time) {
    syscall(SYS_tkill, tid, SIGUSR2);
  } else {
    w->live = false;
  }
}

}  // namespace

void msgq_wake_reader(msgq_queue_t *q, int slot, uint64_t uid) {
  msgq_reader_wakeup_t *w = &q->wakeups[slot];
  if (w->uid != uid) check_reader(q, uid, w);
  wake(w);
}

void msgq_wake_evicted(msgq_queue_t *q, uint64_t uid) {
  msgq_reader_wakeup_t w;
  check_reader(q, uid, &w);
  wake(&w);
  forget(&w);
}

void msgq_forget_readers(msgq_queue_t *q) {
  for (msgq_reader_wakeup_t &w : q->wakeups) forget(&w);
}
