#pragma once

// Collects this process's log records on a private collector endpoint: the process gets a
// TAVRIN_PREFIX of its own, whose queue directory and sockets go when the process ends. Install
// once per process before the first log call: the logger binds its endpoint on first use.

#include <unistd.h>
#include <zmq.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/swaglog.h"
#include "tests/support/test_prefix.h"

class LogCapture {
 public:
  static LogCapture &instance() {
    static LogCapture capture;
    return capture;
  }

  // Every recorder message logged since the last call, in order. A marker record is logged and
  // awaited, so everything logged before the call is included.
  std::vector<std::string> take() {
    const std::string marker = "log-capture marker " + std::to_string(++markers_);
    LOGD("%s", marker.c_str());
    std::vector<std::string> out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      zmq_pollitem_t item = {sock_, 0, ZMQ_POLLIN, 0};
      if (zmq_poll(&item, 1, 100) <= 0) continue;
      zmq_msg_t msg;
      zmq_msg_init(&msg);
      if (zmq_msg_recv(&msg, sock_, 0) > 0) {
        std::string data(static_cast<const char *>(zmq_msg_data(&msg)) + 1, zmq_msg_size(&msg) - 1);
        zmq_msg_close(&msg);
        auto j = nlohmann::json::parse(data, nullptr, false);
        if (j.is_discarded() || !j["msg"].is_string()) continue;
        std::string text = j["msg"];
        if (text == marker) return out;
        if (j["levelnum"] == CLOUDLOG_WARNING) out.push_back(text);
      } else {
        zmq_msg_close(&msg);
      }
    }
    out.push_back("<log marker never arrived>");
    return out;
  }

  ~LogCapture() {
    zmq_close(sock_);
    zmq_ctx_destroy(ctx_);
    std::error_code ec;
    std::filesystem::remove_all("/dev/shm/" + prefix_, ec);
    remove_prefix_sockets(prefix_);
  }

 private:
  // Not a TestPrefix: this may be made before main(), when the test framework's flags are not yet.
  LogCapture() : prefix_(unique_name("_roadrecd_test")) {
    setenv("TAVRIN_PREFIX", prefix_.c_str(), 1);
    ctx_ = zmq_ctx_new();
    sock_ = zmq_socket(ctx_, ZMQ_PULL);
    zmq_bind(sock_, ("ipc:///tmp/logmessage" + prefix_).c_str());
  }
  std::string prefix_;
  void *ctx_;
  void *sock_;
  int markers_ = 0;
};
