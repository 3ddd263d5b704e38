#pragma once

// The topic tool's commands and what they share: the parsed command line, the exit flag,
// and subscriptions on whichever backend the environment selects.

#include <string>
#include <vector>

#include "common/exit_handler.h"
#include "strand/messaging/messaging.h"

// Exit statuses: 0 done, 1 the command could not do its job, 2 a mistake on the command line.
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

struct ToolOptions {
  std::string command;
  std::string topic;
  std::string text;                // pub: the message
  std::string host = "127.0.0.1";  // publisher's host, ZeroMQ only
  long long count = -1;            // echo, hz, pub: stop after this many messages (-1: never)
  double duration = 2.0;           // list: seconds to listen
  double rate = 0;                 // pub: messages per second (0: the topic's nominal rate)
  bool pretty = false;             // echo: indented text
  bool invalid = false;            // pub: mark the messages invalid
};

// Set by SIGINT and SIGTERM: every command ends its loop and exits 0.
extern ExitHandler do_exit;

int run_list(const ToolOptions &opt);
int run_echo(const ToolOptions &opt);
int run_hz(const ToolOptions &opt);
int run_pub(const ToolOptions &opt);

// Where messages come from, in words: "shared memory" with its prefix, or "ZeroMQ at HOST".
std::string backend_description(const std::string &host);

// The topics that may have a publisher: those whose queue file exists on shared memory
// (listening creates no queue), every topic of the service table on ZeroMQ.
std::vector<std::string> candidate_topics();

// A subscriber that sees every message of `topic` (not only the newest), or null after
// saying on stderr why not.
SubSocket *subscribe(const std::string &topic, const std::string &host);

// Boot-clock seconds.
double now_seconds();
