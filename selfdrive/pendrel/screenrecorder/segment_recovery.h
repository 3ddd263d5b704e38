#pragma once

#include <string>

// Finishes a segment left open by a writer that died: afterwards `mp4_path` is a normal playable
// MP4 with every frame whose bytes and journal record reached the disk, and its lock file
// ("<mp4_path>.lock") is gone. A segment with no recoverable frame is removed (MP4 and lock);
// so is a lock file whose video is gone. Returns true then, and when there is no lock file.
//
// Returns false, with the reason in `error`, when it cannot: the lock file is held by a live
// writer ("in use": a segment being written is never touched), the lock file holds no journal
// while the video file has bytes (a raw stream, or a file from before journals; both are left as
// they are), or an I/O error. Never aborts.
bool recover_segment(const std::string &mp4_path, std::string *error);
