#pragma once

// Structured logging. Every record is a JSON object sent, without ever blocking the caller,
// to the log collector at Path::swaglog_ipc(); records at or above LOGPRINT's level are also
// printed on standard output. Callers use the LOG* macros, which fill in file, line and function.

#include <cstdarg>
#include <cstdint>

#define CLOUDLOG_DEBUG 10
#define CLOUDLOG_INFO 20
#define CLOUDLOG_WARNING 30
#define CLOUDLOG_ERROR 40
#define CLOUDLOG_CRITICAL 50

// Stands for "no frame id" in timestamp events.
constexpr uint32_t NO_FRAME_ID = 0xFFFFFFFF;

void cloudlog_e(int levelnum, const char *filename, int lineno, const char *func, const char *fmt, ...)
    __attribute__((format(printf, 5, 6)));

// Timestamp events: recorded only when LOG_TIMESTAMPS was set at program start.
void cloudlog_te(int levelnum, const char *filename, int lineno, const char *func, const char *fmt, ...)
    __attribute__((format(printf, 5, 6)));
void cloudlog_te(int levelnum, const char *filename, int lineno, const char *func, uint32_t frame_id,
                 const char *fmt, ...) __attribute__((format(printf, 6, 7)));
void cloudlog_t_common(int levelnum, const char *filename, int lineno, const char *func, uint32_t frame_id,
                       const char *fmt, va_list args);

#define CLOUDLOG(lvl, fmt, ...) cloudlog_e(lvl, __FILE__, __LINE__, __func__, fmt, ##__VA_ARGS__)
#define LOGD(fmt, ...) CLOUDLOG(CLOUDLOG_DEBUG, fmt, ##__VA_ARGS__)
#define LOGI(fmt, ...) CLOUDLOG(CLOUDLOG_INFO, fmt, ##__VA_ARGS__)
#define LOGW(fmt, ...) CLOUDLOG(CLOUDLOG_WARNING, fmt, ##__VA_ARGS__)
#define LOGE(fmt, ...) CLOUDLOG(CLOUDLOG_ERROR, fmt, ##__VA_ARGS__)

// Timestamp event at debug level, without and with a frame id.
#define LOGT(fmt, ...) cloudlog_te(CLOUDLOG_DEBUG, __FILE__, __LINE__, __func__, fmt, ##__VA_ARGS__)
#define LOGT_FRAME(frame_id, fmt, ...) \
  cloudlog_te(CLOUDLOG_DEBUG, __FILE__, __LINE__, __func__, (uint32_t)(frame_id), fmt, ##__VA_ARGS__)
