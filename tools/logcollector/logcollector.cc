// Log collector for development: binds the log endpoint (TAVRIN_PREFIX aware) and prints
// every record as one line, the level then the JSON, until SIGINT or SIGTERM.
//
// Usage: logcollector [endpoint]    (logcollector --help says more)

#include <cstdio>
#include <cstring>
#include <string>

#include <zmq.h>

#include "common/exit_handler.h"
#include "system/hardware/hw.h"

static ExitHandler do_exit;

namespace {

const char USAGE[] = "usage: logcollector [ENDPOINT]\n";
const char HELP[] =
    "Collects the log records that every process of the system sends, and prints each as one line:\n"
    "its level, a space, then the record as JSON. Runs until SIGINT or SIGTERM.\n"
    "\n"
    "  ENDPOINT    the ZeroMQ endpoint to bind (default ipc:///tmp/logmessage followed by\n"
    "              $TAVRIN_PREFIX, where the processes send)\n"
    "  -h, --help  this text\n";

}  // namespace

int main(int argc, char *argv[]) {
  if (argc > 1 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0)) {
    printf("%s%s", USAGE, HELP);
    return 0;
  }
  if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
    fprintf(stderr, "logcollector: %s %s\n%s", argc > 2 ? "one endpoint at most, not also" : "unknown option",
            argc > 2 ? argv[2] : argv[1], USAGE);
    return 2;
  }
  const std::string endpoint = argc > 1 ? argv[1] : Path::swaglog_ipc();

  void *ctx = zmq_ctx_new();
  void *sock = zmq_socket(ctx, ZMQ_PULL);
  if (zmq_bind(sock, endpoint.c_str()) != 0) {
    fprintf(stderr, "logcollector: cannot bind %s: %s\n", endpoint.c_str(), zmq_strerror(zmq_errno()));
    return 1;
  }
  fprintf(stderr, "logcollector: listening on %s\n", endpoint.c_str());

  zmq_msg_t msg;
  zmq_msg_init(&msg);
  while (!do_exit) {
    zmq_pollitem_t item = {sock, 0, ZMQ_POLLIN, 0};
    if (zmq_poll(&item, 1, 100) <= 0) continue;  // time-out or a signal: test the flag again
    if (zmq_msg_recv(&msg, sock, ZMQ_DONTWAIT) < 0) continue;
    const char *data = static_cast<const char *>(zmq_msg_data(&msg));
    size_t size = zmq_msg_size(&msg);
    if (size == 0) continue;
    printf("%d %.*s\n", (unsigned char)data[0], (int)(size - 1), data + 1);
    fflush(stdout);
  }
  zmq_msg_close(&msg);
  zmq_close(sock);
  zmq_ctx_destroy(ctx);
  return 0;
}
