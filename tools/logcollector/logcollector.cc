// Log collector for development: binds the log endpoint (TAVRIN_PREFIX aware) and prints
// every record as one line, the level then the JSON, until SIGINT or SIGTERM.
//
// Usage: logcollector [endpoint]

#include <cstdio>
#include <string>

#include <zmq.h>

#include "common/exit_handler.h"
#include "system/hardware/hw.h"

static ExitHandler do_exit;

int main(int argc, char *argv[]) {
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
