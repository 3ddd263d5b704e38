#pragma once

// The Range header of a request for a file (video seeking), read against the file's size.
// One range is served as asked, clamped to the file; a range that starts past the end cannot be
// served; a header that is not one well-formed byte range is ignored and the whole file sent, as
// the HTTP rules allow (so several ranges in one request never multiply the bytes sent).

#include <cstdint>
#include <string_view>

struct ByteRange {
  enum Kind { WHOLE, PART, UNSATISFIABLE };
  Kind kind = WHOLE;
  uint64_t first = 0, last = 0;  // PART: both inclusive, last < size
};

ByteRange parse_byte_range(std::string_view header, uint64_t size);
