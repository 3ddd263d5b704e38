#pragma once

// The one way the system stops on a condition that must never happen. FATAL_CHECK holds in
// every build type (NDEBUG does not silence it) and prints the C library's assertion message,
// "<program>: <file>:<line>: <function>: Assertion `<expression>' failed.", before aborting, so
// the failed expression is what a reader of the log or a death test sees.

#include <cerrno>
#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void fatal_check_fail(const char *expr, const char *file, int line, const char *func) {
  fflush(stdout);  // lines already printed must survive the abort
  fprintf(stderr, "%s: %s:%d: %s: Assertion `%s' failed.\n", program_invocation_short_name, file, line, func, expr);
  fflush(stderr);
  abort();
}

#define FATAL_CHECK(cond) ((cond) ? (void)0 : fatal_check_fail(#cond, __FILE__, __LINE__, __PRETTY_FUNCTION__))

// The same, with the expression's text given where the code must spell it differently from the
// text that peers and tests know (a cast that keeps a signed/unsigned comparison warning-free).
#define FATAL_CHECK_TEXT(cond, text) \
  ((cond) ? (void)0 : fatal_check_fail(text, __FILE__, __LINE__, __PRETTY_FUNCTION__))
