#include "common/exit_handler.h"

#include <csignal>

ExitHandler::ExitHandler() {
  std::signal(SIGINT, set_do_exit);
  std::signal(SIGTERM, set_do_exit);
  std::signal(SIGPWR, set_do_exit);
}

void ExitHandler::set_do_exit(int sig) {
  // Only lock-free atomic stores: safe in a signal handler. A reader that sees do_exit
  // true also sees the matching signal and power_failure values.
  power_failure.store(sig == SIGPWR);
  signal.store(sig);
  do_exit.store(true);
}
