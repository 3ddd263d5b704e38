#include "common/swaglog.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <zmq.h>

#include "common/swaglog_state.h"
#include "common/timing.h"
#include "system/hardware/hw.h"
#include "system/hardware/talvi/hardware.h"

using json = nlohmann::json;

// Read once at program start; later changes of the environment have no effect.
static const bool LOG_TIMESTAMPS = getenv("LOG_TIMESTAMPS") != nullptr;

SwaglogState::SwaglogState() {
  zctx = zmq_ctx_new();
  sock = zmq_socket(zctx, ZMQ_PUSH);
  int linger_ms = 100;  // bounds how long exit waits for unsent records
  zmq_setsockopt(sock, ZMQ_LINGER, &linger_ms, sizeof(linger_ms));
  zmq_connect(sock, Path::swaglog_ipc().c_str());

  if (const char *print_lvl = getenv("LOGPRINT")) {
    if (strcmp(print_lvl, "debug") == 0) {
      print_level = 10;
    } else if (strcmp(print_lvl, "info") == 0) {
      print_level = 20;
    } else if (strcmp(print_lvl, "warning") == 0) {
      print_level = 30;
    }
  }

  ctx_j = json::object();
  const std::pair<const char *, const char *> optional_keys[] = {
      {"dongle_id", "DONGLE_ID"}, {"origin", "GIT_ORIGIN"},   {"branch", "GIT_BRANCH"},
      {"commit", "GIT_COMMIT"},   {"daemon", "MANAGER_DAEMON"},
  };
  for (const auto &[key, var] : optional_keys) {
    if (const char *v = getenv(var)) ctx_j[key] = v;
  }
  ctx_j["version"] = "0.9.7";
  ctx_j["dirty"] = getenv("CLEAN") == nullptr;
  ctx_j["device"] = HardwareTalvi::get_name();
}

SwaglogState::~SwaglogState() {
  zmq_close(sock);
  zmq_ctx_destroy(zctx);
}

void SwaglogState::log(int levelnum, const char *filename, int /*lineno*/, const char * /*func*/,
                       const char *msg, const std::string &log_s) {
  std::lock_guard<std::mutex> lk(lock);
  if (levelnum >= print_level) {
    printf("%s: %s\n", filename, msg);
  }
  zmq_send(sock, log_s.data(), log_s.size(), ZMQ_DONTWAIT);
}

static SwaglogState &swaglog_state() {
  static SwaglogState state;  // thread-safe one-time construction, destroyed at exit
  return state;
}

// Builds, prints and sends one record; takes ownership of msg_buf (from vasprintf).
static void cloudlog_common(int levelnum, const char *filename, int lineno, const char *func, char *msg_buf,
                            const json &msg_j) {
  SwaglogState &s = swaglog_state();

  json log_j = json::object();
  log_j["ctx"] = s.context();
  log_j["levelnum"] = levelnum;
  log_j["filename"] = filename;
  log_j["lineno"] = lineno;
  log_j["funcname"] = func;
  log_j["created"] = seconds_since_epoch();
  if (!msg_j.empty()) {
    log_j["msg"] = msg_j;
  } else {
    log_j["msg"] = msg_buf;
  }

  std::string log_s;
  log_s += (char)levelnum;
  // Replace invalid UTF-8 rather than throw: a log call never fails its caller.
  log_s += log_j.dump(-1, ' ', false, json::error_handler_t::replace);

  s.log(levelnum, filename, lineno, func, msg_buf, log_s);
  free(msg_buf);
}

void cloudlog_e(int levelnum, const char *filename, int lineno, const char *func, const char *fmt, ...) {
  char *msg_buf = nullptr;
  va_list args;
  va_start(args, fmt);
  int ret = vasprintf(&msg_buf, fmt, args);
  va_end(args);
  if (ret <= 0 || !msg_buf) {
    free(msg_buf);
    return;
  }
  cloudlog_common(levelnum, filename, lineno, func, msg_buf, json::object());
}

void cloudlog_t_common(int levelnum, const char *filename, int lineno, const char *func, uint32_t frame_id,
                       const char *fmt, va_list args) {
  if (!LOG_TIMESTAMPS) return;
  char *msg_buf = nullptr;
  int ret = vasprintf(&msg_buf, fmt, args);
  if (ret <= 0 || !msg_buf) {
    free(msg_buf);
    return;
  }
  json tspt_j = json::object();
  tspt_j["event"] = msg_buf;
  tspt_j["time"] = std::to_string(nanos_since_boot());
  if (frame_id < NO_FRAME_ID) {
    tspt_j["frame_id"] = std::to_string(frame_id);
  }
  cloudlog_common(levelnum, filename, lineno, func, msg_buf, json{{"timestamp", tspt_j}});
}

void cloudlog_te(int levelnum, const char *filename, int lineno, const char *func, const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  cloudlog_t_common(levelnum, filename, lineno, func, NO_FRAME_ID, fmt, args);
  va_end(args);
}

void cloudlog_te(int levelnum, const char *filename, int lineno, const char *func, uint32_t frame_id,
                 const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  cloudlog_t_common(levelnum, filename, lineno, func, frame_id, fmt, args);
  va_end(args);
}
