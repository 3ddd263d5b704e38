// The same protocol with the frame packets on ZeroMQ: the topic becomes TCP port 9000 + the
// stream number, so only one such test may run at a time on this machine.

#include <gtest/gtest.h>

#include "strand/visionipc/ipc.h"
#include "strand/visionipc/tests/vipc_test_util.h"
#include "tests/support/scoped_env.h"

namespace {

using namespace vipc_test;

TEST(VisionIpcZmq, FramesTravelOnTheStreamPort) {
  ScopedEnv no_prefix("TAVRIN_PREFIX", std::nullopt);  // ZeroMQ refuses a prefix: ports are machine-wide
  ScopedEnv zmq("ZMQ", "1");
  ASSERT_EQ(get_endpoint_name("guided", VISION_STREAM_DRIVER), "9001");

  ServerProcess server("guided", {{VISION_STREAM_DRIVER, 3, false, 128, 64}}, 1);
  ASSERT_TRUE(server.ready());
  VisionIpcClient client("guided", VISION_STREAM_DRIVER, false);
  ASSERT_TRUE(connect_within(client));
  EXPECT_EQ(client.num_buffers, 3);

  // A TCP subscription takes effect some moments after connecting: publish until it does.
  uint32_t next_id = 1;
  VisionIpcBufExtra extra = {};
  VisionBuf *buf = nullptr;
  for (int i = 0; i < 100 && !buf; i++) {
    ASSERT_TRUE(server.send_frames(VISION_STREAM_DRIVER, 1));
    next_id++;
    buf = client.recv(&extra, 100);
  }
  ASSERT_NE(buf, nullptr);
  EXPECT_EQ(first_mismatch(buf, extra.frame_id), -1);
  // Late packets of the probing loop may still be on their way: drain them.
  while (client.recv(nullptr, 200)) {
  }

  ASSERT_TRUE(server.send_frames(VISION_STREAM_DRIVER, 2));
  for (uint32_t id = next_id; id < next_id + 2; id++) {
    buf = recv_frame(client, &extra);
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(extra.frame_id, id);
    EXPECT_EQ(first_mismatch(buf, id), -1);
  }
  EXPECT_EQ(server.stop(), 0);
}

}  // namespace
