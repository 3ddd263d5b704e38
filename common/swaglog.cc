#include "common/swaglog.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
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
  ctx_s = ctx_j.dump(-1, ' ', false, json::error_handler_t::replace);
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
    fflush(stdout);  // a line already printed survives an abnormal end of the process
  }
  zmq_send(sock, log_s.data(), log_s.size(), ZMQ_DONTWAIT);
}

static SwaglogState &swaglog_state() {
  static SwaglogState state;  // thread-safe one-time construction, destroyed at exit
  return state;
}

namespace {

// Records are built by hand in the JSON library's own output: keys in ascending byte order,
// numbers and strings written as it writes them (invalid UTF-8 replaced by U+FFFD). The
// library itself is asked only for what needs care: strings with escapes or non-ASCII bytes,
// and timestamp objects.

void append_json_string(std::string *out, const char *text) {
  if (text == nullptr) text = "";
  const char *p = text;
  for (; *p; p++) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\') break;
  }
  if (*p == '\0') {  // plain ASCII: written as it is
    out->push_back('"');
    out->append(text, size_t(p - text));
    out->push_back('"');
    return;
  }
  out->append(json(text).dump(-1, ' ', false, json::error_handler_t::replace));
}

void append_json_number(std::string *out, double value) {
  if (!std::isfinite(value)) {
    out->append("null");
    return;
  }
  char buf[64];
  char *end = nlohmann::detail::to_chars(buf, buf + sizeof(buf), value);
  out->append(buf, size_t(end - buf));
}

void append_json_number(std::string *out, int value) {
  char buf[16];
  auto [end, ec] = std::to_chars(buf, buf + sizeof(buf), value);
  (void)ec;
  out->append(buf, size_t(end - buf));
}

// Builds, prints and sends one record. `msg_j` is empty for plain messages.
void cloudlog_common(int levelnum, const char *filename, int lineno, const char *func, const char *msg,
                     const json &msg_j) {
  SwaglogState &s = swaglog_state();

  thread_local std::string record;  // reused: no allocation per call once it has grown
  record.clear();
  record.push_back(char(levelnum));
  record.append("{\"created\":");
  append_json_number(&record, seconds_since_epoch());
  record.append(",\"ctx\":");
  record.append(s.context_text());
  record.append(",\"filename\":");
  append_json_string(&record, filename);
  record.append(",\"funcname\":");
  append_json_string(&record, func);
  record.append(",\"levelnum\":");
  append_json_number(&record, levelnum);
  record.append(",\"lineno\":");
  append_json_number(&record, lineno);
  record.append(",\"msg\":");
  if (!msg_j.empty()) {
    record.append(msg_j.dump(-1, ' ', false, json::error_handler_t::replace));
  } else {
    append_json_string(&record, msg);
  }
  record.push_back('}');

  s.log(levelnum, filename, lineno, func, msg, record);
}

// printf-style formatting into `stack` when it fits, else into `heap`; null when the text is
// empty or cannot be formatted.
const char *format_message(char (&stack)[512], std::unique_ptr<char[]> *heap, const char *fmt, va_list args) {
  va_list again;
  va_copy(again, args);
  int n = vsnprintf(stack, sizeof(stack), fmt, args);
  const char *text = stack;
  if (n >= int(sizeof(stack))) {
    heap->reset(new (std::nothrow) char[size_t(n) + 1]);
    text = *heap && vsnprintf(heap->get(), size_t(n) + 1, fmt, again) == n ? heap->get() : nullptr;
  }
  va_end(again);
  return n > 0 ? text : nullptr;
}

}  // namespace

void cloudlog_e(int levelnum, const char *filename, int lineno, const char *func, const char *fmt, ...) {
  char stack[512];
  std::unique_ptr<char[]> heap;
  va_list args;
  va_start(args, fmt);
  const char *msg = format_message(stack, &heap, fmt, args);
  va_end(args);
  if (msg == nullptr) return;
  cloudlog_common(levelnum, filename, lineno, func, msg, json::object());
}

void cloudlog_t_common(int levelnum, const char *filename, int lineno, const char *func, uint32_t frame_id,
                       const char *fmt, va_list args) {
  if (!LOG_TIMESTAMPS) return;
  char stack[512];
  std::unique_ptr<char[]> heap;
  const char *msg_buf = format_message(stack, &heap, fmt, args);
  if (msg_buf == nullptr) return;
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
