// A subscriber process for the lock-step tests. Creates its socket through the factories (so
// STRAND_FAKE and STRAND_FAKE_PREFIX from the environment decide what it gets), prints
// "connected", then "got <payload>" for every message until it receives "quit".
//
// usage: fake_lockstep_subscriber <endpoint>

#include <cstdio>
#include <memory>
#include <string>

#include "strand/messaging/messaging.h"

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s <endpoint>\n", argv[0]);
    return 2;
  }
  std::unique_ptr<Context> context(Context::create());
  std::unique_ptr<SubSocket> sub(SubSocket::create(context.get(), argv[1], "127.0.0.1", false, true));
  if (!sub) return 1;
  printf("connected\n");
  fflush(stdout);

  for (;;) {
    std::unique_ptr<Message> msg(sub->receive(false));
    if (!msg) continue;
    std::string payload(msg->getData(), msg->getSize());
    printf("got %s\n", payload.c_str());
    fflush(stdout);
    if (payload == "quit") return 0;
  }
}
