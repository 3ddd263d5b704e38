#pragma once

#include <cstdio>
#include <cstdlib>

// Conditions that must not happen end the process, printing the failed expression; unlike
// assert() they hold in release builds too.
#define OMX_CHECK(expr)                                                                             \
  do {                                                                                              \
    if (!(expr)) {                                                                                  \
      fprintf(stderr, "%s:%d: %s: Assertion `%s' failed.\n", __FILE__, __LINE__, __func__, #expr); \
      abort();                                                                                      \
    }                                                                                               \
  } while (0)
