#pragma once

// libx265 keeps a few allocations of every encoder it opens (its parameter copy, frame-filter
// tables) past x265_encoder_close; they are the library's, not ours. Included once by each
// test program that runs the HEVC component under LeakSanitizer.
extern "C" const char *__lsan_default_suppressions() { return "leak:libx265.so\n"; }
