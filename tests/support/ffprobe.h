#pragma once

// ffprobe, an independent reader, judging the video and subtitle files the system writes.

#include <string>

#include <nlohmann/json.hpp>

// The ffprobe and ffmpeg programs found when the build was configured.
const char *ffprobe_program();
const char *ffmpeg_program();

// ffprobe's JSON report of `file`; `args` select what it shows. Null when ffprobe fails.
nlohmann::json ffprobe_json(const std::string &args, const std::string &file);

// Errors the decoder reports while decoding every frame of `file` (empty when it plays cleanly);
// `args` come before the file (an input format, for one).
std::string ffprobe_decode_errors(const std::string &args, const std::string &file);

// Frames ffprobe decodes, and packets it reads, in the stream `stream` of `file` ("v:0": the first
// video stream, "s:0": the first subtitle stream). -1 when it cannot read the file, or when
// `codec` is given and the stream is of another codec.
int decoded_frames(const std::string &file, const std::string &codec = "", const std::string &stream = "v:0");
int read_packets(const std::string &file, const std::string &codec = "", const std::string &stream = "v:0");

// Seconds from the start of the first video stream to its last packet; -1 when unreadable.
double last_packet_time(const std::string &file);
