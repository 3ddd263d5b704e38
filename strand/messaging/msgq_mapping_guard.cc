#include "strand/messaging/msgq_mapping_guard.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

constexpr int MAX_GUARDED = 1024;

enum : int { FREE = 0, CLAIMED = 1, ACTIVE = 2 };

// Read by the signal handler: plain fields written before `state` becomes ACTIVE.
struct Guarded {
  std::atomic<int> state{FREE};
  char *base = nullptr;
  size_t length = 0;
  int fd = -1;
  char notice[256] = {};
};

Guarded guarded[MAX_GUARDED];
struct sigaction previous_sigbus;
std::once_flag handler_installed;

void write_all(int fd, const char *text) {
  size_t n = strlen(text);
  while (n > 0) {
    ssize_t w = write(fd, text, n);
    if (w <= 0) return;
    text += w;
    n -= size_t(w);
  }
}

void pass_on(int sig, siginfo_t *info, void *context) {
  if ((previous_sigbus.sa_flags & SA_SIGINFO) && previous_sigbus.sa_sigaction != nullptr) {
    previous_sigbus.sa_sigaction(sig, info, context);
  } else if (previous_sigbus.sa_handler != SIG_DFL && previous_sigbus.sa_handler != SIG_IGN) {
    previous_sigbus.sa_handler(sig);
  } else {
    // Default action: returning repeats the fault, which now ends the process as it would have.
    signal(SIGBUS, SIG_DFL);
  }
}

void on_sigbus(int sig, siginfo_t *info, void *context) {
  char *addr = static_cast<char *>(info->si_addr);
  for (Guarded &g : guarded) {
    if (g.state.load(std::memory_order_acquire) != ACTIVE) continue;
    if (addr < g.base || addr >= g.base + g.length) continue;
    int saved_errno = errno;
    bool restored = ftruncate(g.fd, off_t(g.length)) == 0;
    if (restored) write_all(STDOUT_FILENO, g.notice);
    errno = saved_errno;
    if (restored) return;  // the access is repeated on the grown file
    break;
  }
  pass_on(sig, info, context);
}

void install_handler() {
  struct sigaction sa = {};
  sa.sa_sigaction = on_sigbus;
  sa.sa_flags = SA_SIGINFO;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGBUS, &sa, &previous_sigbus);
}

}  // namespace

bool msgq_guard_mapping(void *base, size_t length, int fd, const char *name) {
  std::call_once(handler_installed, install_handler);
  for (Guarded &g : guarded) {
    int expected = FREE;
    if (!g.state.compare_exchange_strong(expected, CLAIMED)) continue;
    g.base = static_cast<char *>(base);
    g.length = length;
    g.fd = fd;
    snprintf(g.notice, sizeof(g.notice), "Warning, queue file %s was cut short under its mapping: grown back\n",
             name);
    g.state.store(ACTIVE, std::memory_order_release);
    return true;
  }
  return false;
}

void msgq_unguard_mapping(void *base) {
  for (Guarded &g : guarded) {
    if (g.state.load(std::memory_order_acquire) == ACTIVE && g.base == base) {
      g.state.store(FREE, std::memory_order_release);
      return;
    }
  }
}
