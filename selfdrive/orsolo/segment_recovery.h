#pragma once

// Start-up recovery: a recorder that died (killed, crashed, power cut) leaves its open segment
// with a lock file beside it. Before recording, every such segment under the videos directory
// (in trip directories one level down) is finished, so that it plays with every frame that
// reached the disk and its lock file is gone.

#include <functional>
#include <string>

// Finishes the segment at `mp4_path`; false with a reason in `error` when it cannot. A segment
// with no recoverable frame is removed. The writer library provides it; tests give a fake.
using SegmentRecoverer = std::function<bool(const std::string &mp4_path, std::string *error)>;

// Recovers every "<segment>.mp4.lock" of a trip directory the recorder named, in name order,
// logging one line per segment. A segment whose video is gone afterwards loses its subtitle
// file too, and every trip directory with nothing in it is removed. Returns the number recovered.
int recover_open_segments(const std::string &videos_dir, const SegmentRecoverer &recover);
