#pragma once

// Collects this process's log records on a private collector endpoint. Install once per process
// before the first log call: the logger binds its endpoint on first use.

#include <unistd.h>
#include <zmq.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/swaglog.h"
#include "common/util.h"

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
    unlink(path_.c_str());
  }

 private:
  LogCapture() {
    const std::string prefix = "_roadrecd_test_" + std::to_string(getpid()) + "_" + util::random_string(8);
    setenv("TAVRIN_PREFIX", prefix.c_str(), 1);
    path_ = "/tmp/logmessage" + prefix;
    ctx_ = zmq_ctx_new();
    sock_ = zmq_socket(ctx_, ZMQ_PULL);
    zmq_bind(sock_, ("ipc://" + path_).c_str());
  }
  void *ctx_;
  void *sock_;
  std::string path_;
  int markers_ = 0;
};
