#pragma once

#include <atomic>

// Turns SIGINT, SIGTERM and SIGPWR into a process-wide flag that main loops test.
// The state is class-wide, so every ExitHandler object of a process sees the same flag; the
// handlers are installed by the first object constructed and stay installed.
class ExitHandler {
 public:
  ExitHandler();
  ExitHandler(const ExitHandler &) = delete;
  ExitHandler &operator=(const ExitHandler &) = delete;

  operator bool() const { return do_exit.load(); }
  // Sets or clears the flag by hand (for tests and for callers that end a loop themselves).
  ExitHandler &operator=(bool v) {
    do_exit.store(v);
    return *this;
  }

  inline static std::atomic<bool> power_failure{false};
  inline static std::atomic<int> signal{0};

 private:
  static void set_do_exit(int sig);
  inline static std::atomic<bool> do_exit{false};
};
