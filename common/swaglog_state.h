#pragma once

#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

// The process's logging state: the collector socket, the print level and the context that
// every record carries. One per process, made on the first log call, destroyed at exit.
class SwaglogState {
 public:
  SwaglogState();
  ~SwaglogState();
  SwaglogState(const SwaglogState &) = delete;
  SwaglogState &operator=(const SwaglogState &) = delete;

  // Prints (when the level qualifies) and sends one finished record, under the lock.
  void log(int levelnum, const char *filename, int lineno, const char *func, const char *msg,
           const std::string &log_s);

  const nlohmann::json &context() const { return ctx_j; }
  // The context as it appears in every record, serialised once.
  const std::string &context_text() const { return ctx_s; }

 private:
  std::mutex lock;
  void *zctx = nullptr;
  void *sock = nullptr;
  int print_level = 30;
  nlohmann::json ctx_j;
  std::string ctx_s;
};
