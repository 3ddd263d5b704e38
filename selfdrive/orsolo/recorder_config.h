#pragma once

// The recorder's settings, fixed at build time. The videos directory and the free-space reserve
// are read when the daemon starts (recorder_settings.h).

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

// After a segment that could not be written, or an encoder that could not be had or failed,
// the next attempt comes this long after the last one.
constexpr double FAULT_RETRY_SECONDS = 3.0;
// Segments that could not be written count as writable again once one has recorded this long.
constexpr double WRITE_RECOVERED_SECONDS = 2.0;
// The free-space reserve is checked when a segment opens and at least this often.
constexpr double RESERVE_CHECK_SECONDS = 10.0;
// While no frame comes, the shutdown key is still read this often.
constexpr double IDLE_KEY_POLL_SECONDS = 1.0;
// A camera that sends nothing for this long counts as lost and is connected again.
constexpr double CAMERA_SILENCE_SECONDS = 2.0;
// Default free-space reserve, in percent of the videos file system.
constexpr double DEFAULT_MIN_FREE_PERCENT = 10.0;
