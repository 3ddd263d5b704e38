#include "tests/support/ffprobe.h"

#include <algorithm>
#include <cstdlib>

#include "tests/support/run_program.h"

const char *ffprobe_program() {
  return FFPROBE_PROGRAM;
}
const char *ffmpeg_program() {
  return FFMPEG_PROGRAM;
}

nlohmann::json ffprobe_json(const std::string &args, const std::string &file) {
  const RunResult r = run_command(std::string(ffprobe_program()) + " -v error -of json " + args + " '" +
                                  file + "' 2>/dev/null");
  if (r.status != 0) return nullptr;
  return nlohmann::json::parse(r.out, nullptr, false);
}

std::string ffprobe_decode_errors(const std::string &args, const std::string &file) {
  const RunResult r = run_command(std::string(ffprobe_program()) + " -v error " + args +
                                  " -count_frames -show_entries stream=nb_read_frames -of csv=p=0 '" + file +
                                  "' 2>&1 >/dev/null");
  return r.out;
}

namespace {

// One count ffprobe reports for a stream ("nb_read_frames", "nb_read_packets").
int stream_count(const std::string &file, const std::string &codec, const std::string &stream,
                 const std::string &count_flag, const std::string &field) {
  const nlohmann::json j = ffprobe_json(
      count_flag + " -select_streams " + stream + " -show_entries stream=codec_name," + field, file);
  if (!j.is_object() || !j.contains("streams") || j["streams"].empty()) return -1;
  const nlohmann::json &s = j["streams"][0];
  if (!codec.empty() && s.value("codec_name", "") != codec) return -1;
  if (!s.contains(field) || !s[field].is_string()) return -1;
  return std::stoi(s[field].get<std::string>());
}

}  // namespace

int decoded_frames(const std::string &file, const std::string &codec, const std::string &stream) {
  return stream_count(file, codec, stream, "-count_frames", "nb_read_frames");
}

int read_packets(const std::string &file, const std::string &codec, const std::string &stream) {
  return stream_count(file, codec, stream, "-count_packets", "nb_read_packets");
}

double last_packet_time(const std::string &file) {
  const nlohmann::json j = ffprobe_json("-select_streams v:0 -show_entries packet=pts_time", file);
  if (!j.is_object() || !j.contains("packets") || j["packets"].empty()) return -1;
  double last = -1;
  for (const nlohmann::json &p : j["packets"]) {
    if (!p.contains("pts_time") || !p["pts_time"].is_string()) continue;
    const std::string text = p["pts_time"];
    char *end = nullptr;
    const double t = std::strtod(text.c_str(), &end);
    if (end != text.c_str()) last = std::max(last, t);
  }
  return last;
}
