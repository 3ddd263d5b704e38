// The server on its own: buffer geometry, round robin, limits, what its setup replies and
// frame packets carry on the wire, and its shutdown.

#include "strand/visionipc/visionipc_server.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include "strand/visionipc/ipc.h"
#include "strand/visionipc/tests/cl_test_device.h"
#include "strand/visionipc/tests/vipc_test_util.h"

namespace {

using namespace vipc_test;

// A setup connection to the server's socket, once its listener answers (at most 10 s).
int connect_setup(const std::string &name) {
  const std::string path = get_ipc_path(name);
  int fd = -1;
  wait_until([&] { return (fd = ipc_connect(path.c_str())) >= 0; }, 10s, 10ms);
  return fd;
}

TEST(VisionIpcServer, BufferGeometry) {
  struct Case {
    bool rgb;
    size_t stride, uv_offset, len;
  };
  // A 4 x 2 image: NV12 has 8 luma bytes then 4 chroma bytes; RGB has 3 bytes per pixel.
  const Case cases[] = {{false, 4, 8, 12}, {true, 12, 0, 24}};
  TestPrefix prefix;
  for (const Case &c : cases) {
    VisionIpcServer server("imagerd");  // its listener never starts: destroying it is harmless
    server.create_buffers(VISION_STREAM_ROAD, 1, c.rgb, 4, 2);
    VisionBuf *buf = server.get_buffer(VISION_STREAM_ROAD);
    EXPECT_EQ(buf->rgb, c.rgb);
    EXPECT_EQ(buf->width, 4u);
    EXPECT_EQ(buf->height, 2u);
    EXPECT_EQ(buf->stride, c.stride);
    EXPECT_EQ(buf->uv_offset, c.uv_offset);
    EXPECT_EQ(buf->len, c.len);
    EXPECT_EQ(buf->type, VISION_STREAM_ROAD);
    if (!c.rgb) {
      EXPECT_EQ(buf->uv, buf->y + 8);
    }
  }
}

TEST(VisionIpcServer, BuffersAreHandedOutRoundRobin) {
  TestPrefix prefix;
  VisionIpcServer server("imagerd");
  server.create_buffers(VISION_STREAM_ROAD, 3, false, 16, 16);
  server.create_buffers(VISION_STREAM_DRIVER, 2, false, 16, 16);
  std::vector<size_t> road, driver;
  for (int i = 0; i < 5; i++) {
    road.push_back(server.get_buffer(VISION_STREAM_ROAD)->idx);
    driver.push_back(server.get_buffer(VISION_STREAM_DRIVER)->idx);
  }
  EXPECT_EQ(road, (std::vector<size_t>{0, 1, 2, 0, 1}));
  EXPECT_EQ(driver, (std::vector<size_t>{0, 1, 0, 1, 0}));
}

TEST(VisionIpcServerDeathTest, Limits) {
  // Forked, not re-run: a re-run child would make a prefix of its own and die before
  // removing it. No thread runs here (no listener is started), so forking is safe.
  GTEST_FLAG_SET(death_test_style, "fast");
  TestPrefix prefix;
  {
    VisionIpcServer server("imagerd");
    server.create_buffers(VISION_STREAM_ROAD, 127, false, 8, 8);
    EXPECT_EQ(server.get_buffer(VISION_STREAM_ROAD)->idx, 0u);
  }
  EXPECT_DEATH(
      {
        VisionIpcServer server("imagerd");
        server.create_buffers(VISION_STREAM_ROAD, 128, false, 8, 8);
      },
      "num_buffers < VISIONIPC_MAX_FDS");
  EXPECT_DEATH(
      {
        VisionIpcServer server("imagerd");
        server.create_buffers(VISION_STREAM_ROAD, 1, false, 8, 8);
        server.get_buffer(VISION_STREAM_DRIVER);
      },
      "buffers.count\\(type\\)");
  EXPECT_DEATH(
      {
        VisionIpcServer server("imagerd");
        server.create_buffers(VISION_STREAM_ROAD, 2, false, 8, 8);
        VisionBuf foreign = *server.get_buffer(VISION_STREAM_ROAD);
        foreign.idx = 2;
        VisionIpcBufExtra extra = {};
        server.send(&foreign, &extra, false);
      },
      "buf->idx < buffers\\[buf->type\\].size\\(\\)");
}

// What a client receives: records carrying the server's identity and none of its
// process-local handles, the stream list, and 48-byte frame packets laid out field by field.
TEST(VisionIpcServer, SetupRepliesAndFramePacketsOnTheWire) {
  ClTestDevice cl;  // the server's own buffers get OpenCL views, which must not leak out
  TestPrefix prefix;
  VisionIpcServer server("imagerd", cl.ok() ? cl.device : nullptr, cl.ok() ? cl.context : nullptr);
  server.create_buffers(VISION_STREAM_ROAD, 3, false, 64, 32);
  server.create_buffers(VISION_STREAM_DRIVER, 1, true, 8, 8);
  server.start_listener();

  int fd = connect_setup("imagerd");
  ASSERT_GE(fd, 0);
  int32_t request = VISION_STREAM_ROAD;
  ASSERT_EQ(ipc_sendrecv_with_fds(true, fd, &request, 4, nullptr, 0, nullptr), 4);
  VisionBuf records[VISIONIPC_MAX_FDS];
  int fds[VISIONIPC_MAX_FDS];
  int num_fds = -1;
  ASSERT_EQ(ipc_sendrecv_with_fds(false, fd, records, sizeof(records), fds, VISIONIPC_MAX_FDS, &num_fds), 3 * 136);
  ASSERT_EQ(num_fds, 3);
  close(fd);
  const uint64_t server_id = records[0].server_id;
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(records[i].server_id, server_id);
    EXPECT_EQ(records[i].idx, (size_t)i);
    EXPECT_EQ(records[i].handle, 0);
    EXPECT_EQ(records[i].buf_cl, nullptr);
    EXPECT_EQ(records[i].copy_q, nullptr);
    EXPECT_EQ(records[i].len, 64u * 32 * 3 / 2);
    EXPECT_EQ(records[i].mmap_len, records[i].len + 8);
    close(fds[i]);
  }

  fd = connect_setup("imagerd");
  ASSERT_GE(fd, 0);
  request = VISION_STREAM_MAX;
  ASSERT_EQ(ipc_sendrecv_with_fds(true, fd, &request, 4, nullptr, 0, nullptr), 4);
  int32_t streams[4] = {-1, -1, -1, -1};
  ASSERT_EQ(ipc_sendrecv_with_fds(false, fd, streams, sizeof(streams), nullptr, 0, nullptr), 8);
  EXPECT_EQ(streams[0], 0);
  EXPECT_EQ(streams[1], 1);
  close(fd);

  std::unique_ptr<Context> ctx(Context::create());
  std::unique_ptr<SubSocket> sub(
      SubSocket::create(ctx.get(), get_endpoint_name("imagerd", VISION_STREAM_ROAD), "127.0.0.1", false, false));
  ASSERT_NE(sub, nullptr);
  sub->setTimeout(5000);
  VisionBuf *buf = server.get_buffer(VISION_STREAM_ROAD);
  buf = server.get_buffer(VISION_STREAM_ROAD);  // index 1
  VisionIpcBufExtra extra = {0x01020304, 0x1112131415161718ull, 0x2122232425262728ull, true};
  server.send(buf, &extra, true);
  std::unique_ptr<Message> msg(sub->receive(false));
  ASSERT_NE(msg, nullptr);
  ASSERT_EQ(msg->getSize(), 48u);
  const char *p = msg->getData();
  auto u64_at = [&](size_t off) { uint64_t v; memcpy(&v, p + off, 8); return v; };
  uint32_t frame_id;
  memcpy(&frame_id, p + 16, 4);
  EXPECT_EQ(u64_at(0), server_id);
  EXPECT_EQ(u64_at(8), 1u);
  EXPECT_EQ(frame_id, 0x01020304u);
  EXPECT_EQ(u64_at(24), 0x1112131415161718ull);
  EXPECT_EQ(u64_at(32), 0x2122232425262728ull);
  EXPECT_EQ(p[40], 1);
}

TEST(VisionIpcServer, DestructionStopsTheListenerAndRemovesItsSocket) {
  TestPrefix prefix;
  const std::string path = get_ipc_path("imagerd");
  {
    VisionIpcServer server("imagerd");
    server.create_buffers(VISION_STREAM_ROAD, 2, false, 16, 16);
    server.start_listener();
    int fd = connect_setup("imagerd");  // the listener is up and waiting in its poll
    ASSERT_GE(fd, 0);
    close(fd);
  }
  EXPECT_NE(access(path.c_str(), F_OK), 0);
  EXPECT_LT(ipc_connect(path.c_str()), 0);
}

}  // namespace
