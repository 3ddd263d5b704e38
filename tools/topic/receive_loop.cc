#include "tools/topic/receive_loop.h"

#include <memory>

#include "tools/topic/topic_tool.h"

void receive_messages(SubSocket *socket, long long limit, const std::function<void(Message *)> &on_message,
                      const std::function<void()> &on_idle) {
  std::unique_ptr<Poller> poller(Poller::create({socket}));
  long long received = 0;
  while (!do_exit && received != limit) {
    poller->poll(100);
    while (received != limit) {
      std::unique_ptr<Message> msg(socket->receive(true));
      if (!msg) break;
      on_message(msg.get());
      received++;
    }
    on_idle();
  }
}
