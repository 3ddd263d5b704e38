#pragma once

#include <string>

#include "common/util.h"

// Well-known paths of the device, each overridable from the environment where noted.
namespace Path {

// Value of TAVRIN_PREFIX, empty when unset: lets several isolated systems share one machine.
inline std::string tavrin_prefix() { return util::getenv("TAVRIN_PREFIX", std::string()); }

// Endpoint of the log collector; the prefix is appended without a separator.
inline std::string swaglog_ipc() { return "ipc:///tmp/logmessage" + tavrin_prefix(); }

// Root of the parameter store: PARAMS_ROOT, or "/data/params" when unset.
inline std::string params() { return util::getenv("PARAMS_ROOT", std::string("/data/params")); }

}  // namespace Path
