#pragma once

#include <mutex>

#include "strand/messaging/messaging.h"

// The process-wide messaging Context shared by every SubMaster and PubMaster, created by
// the backend factory on first use so that a process which never subscribes or publishes
// never opens a transport. The destructor, at process exit, deletes the context if one was
// made; sockets made with it must be gone by then.
class MessageContext {
 public:
  constexpr MessageContext() = default;
  MessageContext(const MessageContext &) = delete;
  MessageContext &operator=(const MessageContext &) = delete;
  ~MessageContext() { delete ctx_; }

  // Safe from any thread: the first call creates the context, every call returns it.
  Context *context() {
    std::call_once(init_flag, [this] { ctx_ = Context::create(); });
    return ctx_;
  }

 private:
  Context *ctx_ = nullptr;
  std::once_flag init_flag;
};

// Constant-initialised (empty) before any dynamic initialiser runs.
extern MessageContext message_context;
