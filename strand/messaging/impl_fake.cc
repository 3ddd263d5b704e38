#include "strand/messaging/impl_fake.h"

void FakePoller::registerSocket(SubSocket *socket) { sockets.push_back(socket); }

std::vector<SubSocket *> FakePoller::poll(int) { return sockets; }
