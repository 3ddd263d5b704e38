#pragma once

// HTML text: every piece of text a page takes from outside (names, paths, error messages) goes
// through html_escape, attribute values included.

#include <cstdint>
#include <string>
#include <string_view>

std::string html_escape(std::string_view text);
// Only '&', '<' and '>': text that never stands in an attribute, such as a WebVTT cue's.
std::string escape_text(std::string_view text);

// A whole page around `body`; `head_extra` is trusted markup for the head.
std::string html_page(std::string_view title, std::string_view body, std::string_view head_extra = "",
                      std::string_view body_attributes = "");

// Figures as people read them.
std::string format_duration(double seconds);  // "45 s", "3 min 05 s", "1 h 02 min"
std::string format_bytes(uint64_t bytes);     // "812 B", "12.3 MB", "1.5 GB"
std::string format_distance(double metres);   // "1.24 mi (2.00 km)"
