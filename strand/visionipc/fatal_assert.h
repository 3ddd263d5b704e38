#pragma once

// Conditions that must never happen end the process in every build type (NDEBUG does not
// silence them), with the C library's assertion message naming the asserted expression.

#include <cerrno>
#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void vipc_assert_fail(const char *expr, const char *file, int line, const char *func) {
  fprintf(stderr, "%s: %s:%d: %s: Assertion `%s' failed.\n", program_invocation_short_name, file, line, func, expr);
  fflush(stderr);
  abort();
}

#define VIPC_ASSERT(cond) ((cond) ? (void)0 : vipc_assert_fail(#cond, __FILE__, __LINE__, __PRETTY_FUNCTION__))

// The same, with the expression's text given where the code must spell it differently (a
// cast that keeps a signed/unsigned comparison free of warnings).
#define VIPC_ASSERT_TEXT(cond, text) \
  ((cond) ? (void)0 : vipc_assert_fail(text, __FILE__, __LINE__, __PRETTY_FUNCTION__))
