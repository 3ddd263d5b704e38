#pragma once

// The names the recorder gives to what it writes, and nothing else, are served. A trip directory
// is named "YYYYMMDD-HHMMSS" after the local time it opened; a segment the same after its own
// opening time, with "_N" added when a segment opens in the same second as an earlier one of its
// trip. Checking a request against these shapes is what keeps every path inside the tree: no
// name of this shape can hold a '/', a '.' or a NUL.

#include <string>
#include <string_view>

bool is_recorder_name(std::string_view name);

// "YYYY-MM-DD HH:MM:SS" of a recorder name (its suffix left out); the name must be valid.
std::string name_display_time(std::string_view name);

// Recording order: by time, then by suffix number ("_2" before "_10").
bool name_before(std::string_view a, std::string_view b);
