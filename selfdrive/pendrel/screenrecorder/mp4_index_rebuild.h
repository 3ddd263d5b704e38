#pragma once

// Finishing an MP4 segment whose index was never written (its writer died, or its disk filled
// up): the muxer is run again over the frames the journal describes, with every byte that is on
// disk already skipped, so only the header (the same bytes again), the media data's size and the
// index at the end are written. The file ends exactly as a normal close of those frames leaves
// it, and the frames are never copied.

#include <string>
#include <vector>

#include "selfdrive/pendrel/screenrecorder/segment_journal.h"

struct RebuildResult {
  bool ok = false;
  size_t frames = 0;  // frames in the finished file
  std::string error;  // why not ok
};

// `fd` is the segment's video file, open for reading and writing; `path` its name. Frames are
// taken in order while their bytes are on disk whole and match their checksum; the file is cut
// after the last one taken, and the index appended. When the file system has no room for the
// index, frames are dropped from the end to make room. With no frame left, ok is true and
// frames is 0: the file is no video and the caller removes it. The file is synced before this
// returns.
RebuildResult rebuild_index(int fd, const std::string &path, const segment_journal::Stream &stream,
                            const std::vector<segment_journal::Sample> &samples);
