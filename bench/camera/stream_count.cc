// Reads the road stream of "imagerd" until SIGINT and prints how many frames it received.

#include <unistd.h>

#include <cstdio>

#include "common/exit_handler.h"
#include "strand/visionipc/visionipc_client.h"

static ExitHandler do_exit;

int main() {
  VisionIpcClient client("imagerd", VISION_STREAM_ROAD, false);
  while (!do_exit && !client.connect(false)) usleep(20000);
  long frames = 0;
  while (!do_exit) frames += client.recv(nullptr, 100) != nullptr;
  printf("%ld\n", frames);
  return 0;
}
