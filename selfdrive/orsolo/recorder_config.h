#pragma once

// The recorder's settings, fixed at build time.

#ifndef ROADRECD_VIDEOS_BASE
#define ROADRECD_VIDEOS_BASE "/data/media/0/videos"
#endif

// Root of all trip directories (a CMake cache variable, so tests and the demo can record
// inside the build tree).
constexpr const char *VIDEOS_BASE = ROADRECD_VIDEOS_BASE;
// Frame rate delivered by the camera stream.
constexpr int SOURCE_FPS = 20;
// Frame rate given to the encoder: every second received frame is encoded.
constexpr int CAMERA_FPS = 10;
// Frames per MP4 segment: 180 s of video at CAMERA_FPS.
constexpr int FRAMES_PER_SEGMENT = 1800;
// Encoder target bit rate in bits per second.
constexpr int BITRATE = 2560000;
// Time out of a driving gear after which a trip ends.
constexpr double IDLE_TIMEOUT_SECONDS = 600.0;
// The shutdown key is read on every tenth processed frame, about once a second.
constexpr int SHUTDOWN_POLL_INTERVAL = 10;
