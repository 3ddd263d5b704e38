#pragma once

// Looking at what a test's programs wrote: the names in a directory, and how often a text says
// something.

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

// The names in `dir` that end in `suffix`, sorted; none when `dir` is missing.
inline std::vector<std::string> list_dir(const std::string &dir, const std::string &suffix = "") {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(dir, ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename();
    if (name.size() >= suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      out.push_back(name);
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

// How many times `what` stands in `text`, not overlapping.
inline int count_occurrences(const std::string &text, const std::string &what) {
  int n = 0;
  for (size_t pos = 0; (pos = text.find(what, pos)) != std::string::npos; pos += what.size()) n++;
  return n;
}
