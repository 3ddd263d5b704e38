#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "common/timing.h"
#include "strand/messaging/message_context.h"
#include "strand/services/services.h"
#include "tools/topic/topic_tool.h"

namespace {

const char *shm_prefix() {
  const char *prefix = getenv("TAVRIN_PREFIX");
  return prefix ? prefix : "";
}

// Where the shared-memory queue of a topic lives: /dev/shm/[$TAVRIN_PREFIX/]<topic>.
std::string queue_path(const std::string &topic) {
  std::string dir = "/dev/shm/";
  if (*shm_prefix()) dir += std::string(shm_prefix()) + "/";
  return dir + topic;
}

}  // namespace

std::string backend_description(const std::string &host) {
  if (messaging_use_zmq()) return "ZeroMQ at " + host;
  if (*shm_prefix()) return std::string("shared memory, TAVRIN_PREFIX=") + shm_prefix();
  return "shared memory";
}

std::vector<std::string> candidate_topics() {
  std::vector<std::string> topics;
  const bool zmq = messaging_use_zmq();
  for (const auto &[name, row] : services) {
    if (zmq || access(queue_path(name).c_str(), F_OK) == 0) topics.push_back(name);
  }
  return topics;
}

SubSocket *subscribe(const std::string &topic, const std::string &host) {
  SubSocket *socket = SubSocket::create(message_context.context(), topic, host, false, true);
  if (!socket) fprintf(stderr, "topic: cannot subscribe to %s on %s\n", topic.c_str(), backend_description(host).c_str());
  return socket;
}

double now_seconds() { return nanos_since_boot() * 1e-9; }
