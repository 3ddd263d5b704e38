#pragma once

// Waiting with a bound: every wait of a test ends, whether or not what it waits for happens.

#include <chrono>
#include <thread>

// Looks at `done` until it holds or `timeout` has passed, pausing `pause` between looks (zero:
// none). Its last answer. A condition that reads files or runs programs wants a longer pause
// than one that reads memory, so that waiting does not take the machine from what is awaited.
template <typename Done>
bool wait_until(Done &&done, std::chrono::milliseconds timeout = std::chrono::seconds(10),
                std::chrono::microseconds pause = std::chrono::milliseconds(1)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (pause.count() > 0) std::this_thread::sleep_for(pause);
  }
  return true;
}

// Milliseconds left until `deadline`, never negative: the timeout of a poll() that must end by then.
inline int ms_until(std::chrono::steady_clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}
