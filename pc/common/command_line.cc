#include "pc/common/command_line.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>

CommandLine::CommandLine(int argc, char *argv[], std::string usage)
    : argc_(argc), argv_(argv), usage_(std::move(usage)) {}

bool CommandLine::next(std::string &name) {
  if (index_ + 1 >= argc_) return false;
  name = argv_[++index_];
  if (name == "-h" || name == "--help") {
    fputs(usage_.c_str(), stdout);
    exit(0);
  }
  if (name.rfind("--", 0) != 0) fail("unexpected argument " + name);
  return true;
}

std::string CommandLine::text() {
  if (index_ + 1 >= argc_) fail(std::string("missing value for ") + argv_[index_]);
  return argv_[++index_];
}

double CommandLine::number(double min, double max) {
  const std::string name = argv_[index_];
  const std::string value = text();
  char *end = nullptr;
  errno = 0;
  const double v = strtod(value.c_str(), &end);
  if (errno != 0 || end == value.c_str() || *end != '\0' || !std::isfinite(v) || v < min || v > max) {
    char range[64];
    snprintf(range, sizeof(range), " wants a number from %g to %g", min, max);
    fail(name + range + ", not '" + value + "'");
  }
  return v;
}

void CommandLine::fail(const std::string &why) const {
  fprintf(stderr, "%s: %s\n%s", program_invocation_short_name, why.c_str(), usage_.c_str());
  exit(2);
}
