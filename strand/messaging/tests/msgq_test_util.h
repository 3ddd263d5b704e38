#pragma once

// Helpers shared by the queue tests: a private queue directory per test (TestPrefix), child
// processes that report through their exit status (fork_child, wait_child), a channel to step a
// parent and its child in turn (Signal), and a text sent on a queue.

#include <string>

#include "strand/messaging/msgq.h"
#include "tests/support/child_process.h"
#include "tests/support/signal_pipe.h"
#include "tests/support/test_prefix.h"
#include "tests/support/wait.h"

// Sends `payload` on `q`; msgq_msg_send's result (the size sent, or an error).
inline int send_text(msgq_queue_t *q, const std::string &payload) {
  msgq_msg_t msg;
  msg.data = const_cast<char *>(payload.data());
  msg.size = payload.size();
  return msgq_msg_send(&msg, q);
}
