#pragma once

// Command-line reading shared by the PC programs: "--name value" options and plain flags,
// with the program's usage text printed on any mistake.

#include <string>

class CommandLine {
 public:
  // `usage` is printed after the complaint when the command line is wrong.
  CommandLine(int argc, char *argv[], std::string usage);

  // Moves to the next option and stores its name ("--camera"); false after the last one.
  bool next(std::string &name);
  // The current option's value (the following argument); a missing value is a usage error.
  std::string text();
  // The value as a number within [min, max]; anything else is a usage error.
  double number(double min, double max);

  // Prints "<program>: <why>" and the usage text, and exits with status 2.
  [[noreturn]] void fail(const std::string &why) const;

 private:
  int argc_;
  char **argv_;
  int index_ = 0;
  std::string usage_;
};
