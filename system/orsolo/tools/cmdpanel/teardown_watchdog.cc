#include "system/orsolo/tools/cmdpanel/teardown_watchdog.h"

#include <signal.h>
#include <unistd.h>

#include <cstring>

namespace {

volatile sig_atomic_t g_exit_status = 0;

void on_teardown_timeout(int) {
  // Only async-signal-safe calls here: the main thread may hold any lock.
  static const char message[] = "cmdpanel: shutdown did not finish in time, exiting\n";
  ssize_t ignored = write(STDERR_FILENO, message, sizeof(message) - 1);
  (void)ignored;
  _exit(g_exit_status);
}

}  // namespace

void arm_teardown_watchdog(int exit_status, unsigned seconds) {
  g_exit_status = exit_status;
  struct sigaction action;
  std::memset(&action, 0, sizeof(action));
  action.sa_handler = on_teardown_timeout;
  sigemptyset(&action.sa_mask);
  sigaction(SIGALRM, &action, nullptr);
  alarm(seconds);
}
