#pragma once

// The table of message topics. Built once before main from a fixed list and never changed
// afterwards, so any thread may read it without a lock.

#include <map>
#include <string>

struct service {
  std::string name;  // always equal to the key the record is stored under
  int port;          // TCP port of the topic when messages travel over ZeroMQ
  bool should_log;   // whether the topic is meant to be written to logs
  int frequency;     // nominal publication rate in Hz; 0 when the topic has no fixed rate
  int decimation;    // log decimation: a positive count, or -1
};

// Ordered by byte-wise name comparison.
extern const std::map<std::string, service> services;

// True when `path` names a topic of the table (exact, case-sensitive match).
bool service_exists(const std::string &path);

// The topic's TCP port. Throws std::out_of_range ("map::at") for an unknown name.
int get_port(const std::string &endpoint);
