#pragma once

// Reading one topic message by message, for the commands that follow a single topic.

#include <functional>

#include "strand/messaging/messaging.h"

// Hands every message of `socket` to `on_message` (which must not keep it) until `limit`
// messages have come (-1: no limit) or the exit flag is set. `on_idle` runs about every
// 100 ms whatever arrives. Waits in a poller rather than in a blocking receive, which on
// shared memory would take SIGINT and SIGTERM away from the exit flag.
void receive_messages(SubSocket *socket, long long limit, const std::function<void(Message *)> &on_message,
                      const std::function<void()> &on_idle = [] {});
