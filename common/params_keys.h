#pragma once

// The closed list of parameter keys the device knows, each with the flag bits that say when its
// value is wiped and how it is treated. Plain reads and writes of the store accept any name; only
// the key queries and clearAll consult this table.

#include <cstdint>
#include <string>
#include <unordered_map>

enum ParamKeyType : uint32_t {
  PERSISTENT = 0x02,
  CLEAR_ON_MANAGER_START = 0x04,
  CLEAR_ON_ONROAD_TRANSITION = 0x08,
  CLEAR_ON_OFFROAD_TRANSITION = 0x10,
  DONT_LOG = 0x20,
  DEVELOPMENT_ONLY = 0x40,
  ALL = 0xFFFFFFFF,
};

// Key name (exact, case-sensitive) -> OR of its ParamKeyType bits. Filled before main runs and
// never changed afterwards, so any thread may read it without locking.
const std::unordered_map<std::string, uint32_t> &param_keys();
