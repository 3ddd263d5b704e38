#include "tools/simulator/scenario.h"

#include <sys/stat.h>

#include <cerrno>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

const char *const GEAR_NAMES[] = {"unknown", "park", "drive", "neutral", "reverse",
                                  "sport",   "low",  "brake", "eco",     "manumatic"};

bool is_topic(const std::string &t) { return t == "deviceState" || t == "carState" || t == "gpsLocation"; }

// Plain decimal notation only ("12", "-0.5", "1e3"): strtod alone would also take hexadecimal,
// "inf" and "nan", and stop silently at a NUL inside the word.
bool parse_number(const std::string &word, double &out) {
  if (word.empty() || word.find_first_not_of("0123456789+-.eE") != std::string::npos) return false;
  char *end = nullptr;
  out = strtod(word.c_str(), &end);
  return end == word.c_str() + word.size() && std::isfinite(out);
}

// A word of the script as an error message quotes it: bytes that would not print (a NUL, say)
// shown as '?'.
std::string quoted(const std::string &word) {
  std::string shown = word;
  for (char &c : shown) {
    if (!isprint((unsigned char)c)) c = '?';
  }
  return "'" + shown + "'";
}

// The fastest a car on this planet can be said to drive, in m/s; anything above it (or below
// zero) is a typing error, and beyond a float's range it would become "inf".
constexpr double MAX_SPEED = 1000;
// Longer lines are not scenario steps (a binary file, or a device given by mistake).
constexpr size_t MAX_LINE_LENGTH = 1000;

// std::getline with a bound: false at the end of the input, and `too_long` set when a line
// exceeds MAX_LINE_LENGTH (then reading stops there).
bool read_line(std::istream &in, std::string &line, bool &too_long) {
  line.clear();
  too_long = false;
  char c;
  bool any = false;
  while (in.get(c)) {
    any = true;
    if (c == '\n') return true;
    if (line.size() == MAX_LINE_LENGTH) {
      too_long = true;
      return true;
    }
    line += c;
  }
  return any;
}

// The valid flag or the garbage flag of a topic.
bool &topic_flag(CarSnapshot &s, const std::string &topic, bool valid_flag) {
  if (topic == "deviceState") return valid_flag ? s.device_valid : s.device_garbage;
  if (topic == "carState") return valid_flag ? s.car_valid : s.car_garbage;
  return valid_flag ? s.gps_valid : s.gps_garbage;
}

}  // namespace

bool parse_gear(const std::string &word, uint16_t &gear) {
  for (uint16_t i = 0; i < sizeof(GEAR_NAMES) / sizeof(GEAR_NAMES[0]); i++) {
    if (word == GEAR_NAMES[i]) {
      gear = i;
      return true;
    }
  }
  if (word.empty() || word.size() > 5 || word.find_first_not_of("0123456789") != std::string::npos) return false;
  const long v = strtol(word.c_str(), nullptr, 10);
  if (v > 65535) return false;
  gear = (uint16_t)v;
  return true;
}

bool Scenario::parse(std::istream &in, std::string &error) {
  steps_.clear();
  std::string line;
  bool too_long = false;
  int lineno = 1;
  auto fail = [&](const std::string &why) {
    error = "line " + std::to_string(lineno) + ": " + why;
    steps_.clear();
    return false;
  };
  for (; read_line(in, line, too_long); lineno++) {
    if (too_long) return fail("longer than " + std::to_string(MAX_LINE_LENGTH) + " characters");
    if (auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string s; words >> s;) w.push_back(s);
    if (w.empty()) continue;

    ScenarioStep step;
    if (!parse_number(w[0], step.t) || step.t < 0) return fail("bad time " + quoted(w[0]));
    if (!steps_.empty() && step.t < steps_.back().t) return fail("steps go back in time");
    if (!steps_.empty() && steps_.back().kind == ScenarioStep::END) return fail("step after the end");
    if (w.size() < 2) return fail("missing command");
    const std::string &cmd = w[1];
    const size_t nargs = w.size() - 2;

    if (cmd == "ignition" && nargs == 1 && (w[2] == "on" || w[2] == "off")) {
      step.kind = ScenarioStep::IGNITION;
      step.on = w[2] == "on";
    } else if (cmd == "gear" && nargs == 1) {
      step.kind = ScenarioStep::GEAR;
      if (!parse_gear(w[2], step.gear)) return fail("unknown gear " + quoted(w[2]));
    } else if (cmd == "gps" && nargs == 1 && w[2] == "none") {
      step.kind = ScenarioStep::GPS_NONE;
    } else if (cmd == "gps" && nargs == 3) {
      step.kind = ScenarioStep::GPS_FIX;
      double speed;
      if (!parse_number(w[2], step.lat) || !parse_number(w[3], step.lon) || !parse_number(w[4], speed) ||
          std::fabs(step.lat) > 90 || std::fabs(step.lon) > 180) {
        return fail("gps needs <lat> <lon> <speed> or none");
      }
      if (speed < 0 || speed > MAX_SPEED) {
        return fail("gps speed " + quoted(w[4]) + " is not between 0 and " + std::to_string((int)MAX_SPEED) + " m/s");
      }
      step.speed = (float)speed;
    } else if ((cmd == "valid" || cmd == "invalid" || cmd == "garbage") && nargs == 1) {
      if (!is_topic(w[2])) return fail("unknown topic " + quoted(w[2]));
      step.kind = cmd == "garbage" ? ScenarioStep::GARBAGE : ScenarioStep::VALID;
      step.on = cmd == "valid";
      step.topic = w[2];
    } else if (cmd == "end" && nargs == 0) {
      step.kind = ScenarioStep::END;
    } else {
      return fail("cannot read " + quoted(cmd) + " with " + std::to_string(nargs) + " argument(s)");
    }
    steps_.push_back(step);
  }
  if (in.bad()) {
    error = "read error after line " + std::to_string(lineno - 1);
    steps_.clear();
    return false;
  }
  return true;
}

bool Scenario::parse_file(const std::string &path, std::string &error) {
  // A directory opens like a file here and then reads as empty: it would run as a scenario
  // without steps. Pipes and other streams are fine (a scenario from a process substitution).
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    error = "is a directory, not a scenario file";
    return false;
  }
  std::ifstream f(path);
  if (!f) {
    error = std::string("cannot open: ") + strerror(errno);
    return false;
  }
  return parse(f, error);
}

CarSnapshot Scenario::at(double t) const {
  CarSnapshot s;
  const ScenarioStep *fix = nullptr;
  for (size_t i = 0; i < steps_.size() && steps_[i].t <= t; i++) {
    const ScenarioStep &st = steps_[i];
    switch (st.kind) {
      case ScenarioStep::IGNITION: s.started = st.on; break;
      case ScenarioStep::GEAR: s.gear = st.gear; break;
      case ScenarioStep::GPS_FIX: fix = &st; break;
      case ScenarioStep::GPS_NONE: fix = nullptr; break;
      case ScenarioStep::VALID:
        topic_flag(s, st.topic, true) = st.on;
        topic_flag(s, st.topic, false) = false;
        break;
      case ScenarioStep::GARBAGE: topic_flag(s, st.topic, false) = true; break;
      case ScenarioStep::END: break;
    }
  }
  if (!fix) return s;
  s.has_fix = true;
  s.lat = fix->lat;
  s.lon = fix->lon;
  s.speed = fix->speed;
  // Drive towards the next fix of the route, if one follows before the fix is dropped.
  for (const ScenarioStep *next = fix + 1; next < steps_.data() + steps_.size(); next++) {
    if (next->kind == ScenarioStep::GPS_NONE) break;
    if (next->kind != ScenarioStep::GPS_FIX) continue;
    if (next->t > fix->t) {
      const double f = (t - fix->t) / (next->t - fix->t);
      s.lat += (next->lat - fix->lat) * f;
      s.lon += (next->lon - fix->lon) * f;
    }
    break;
  }
  return s;
}

double Scenario::length() const {
  for (const ScenarioStep &st : steps_) {
    if (st.kind == ScenarioStep::END) return st.t;
  }
  return steps_.empty() ? 0 : steps_.back().t;
}
