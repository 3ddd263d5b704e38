// Server and clients in separate processes, with real descriptors, shared memory and frame
// topics: setup, frames with their metadata, restarts, misbehaving clients, conflation.

#include <gtest/gtest.h>

#include <atomic>

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>

#include "strand/visionipc/ipc.h"
#include "strand/visionipc/tests/cl_test_device.h"
#include "strand/visionipc/tests/vipc_test_util.h"

namespace {

using namespace vipc_test;

constexpr size_t W = 1928, H = 1208;  // the road camera's frames

// Reads `count` frames and checks each one's metadata, buffer and every pixel byte.
void expect_frames(VisionIpcClient &client, uint32_t first_frame_id, int count, size_t skip = 0) {
  for (int k = 0; k < count; k++) {
    const uint32_t id = first_frame_id + k;
    VisionIpcBufExtra extra = {};
    VisionBuf *buf = recv_frame(client, &extra);
    ASSERT_NE(buf, nullptr) << "frame " << id;
    EXPECT_EQ(extra.frame_id, id);
    EXPECT_EQ(extra.timestamp_sof, id * 1000ull + 1);
    EXPECT_EQ(extra.timestamp_eof, id * 1000ull + 2);
    EXPECT_EQ(extra.valid, id % 2 == 0);
    EXPECT_EQ(buf->idx, (skip + k) % client.num_buffers);
    EXPECT_EQ(first_mismatch(buf, id), -1) << "frame " << id;
  }
}

TEST(VisionIpc, ClientImportsEveryBufferAndReadsFrames) {
  TestPrefix prefix;
  ServerProcess server("imagerd", {{VISION_STREAM_ROAD, 4, false, W, H}, {VISION_STREAM_WIDE_ROAD, 2, true, 64, 32}},
                       1);
  ASSERT_TRUE(server.ready());

  VisionIpcClient road("imagerd", VISION_STREAM_ROAD, false);
  ASSERT_TRUE(connect_within(road));
  EXPECT_TRUE(road.is_connected());
  ASSERT_EQ(road.num_buffers, 4);
  const uint64_t server_id = road.buffers[0].server_id;
  for (int i = 0; i < road.num_buffers; i++) {
    const VisionBuf &b = road.buffers[i];
    EXPECT_EQ(b.idx, (size_t)i);
    EXPECT_EQ(b.type, VISION_STREAM_ROAD);
    EXPECT_FALSE(b.rgb);
    EXPECT_EQ(b.width, W);
    EXPECT_EQ(b.height, H);
    EXPECT_EQ(b.stride, W);
    EXPECT_EQ(b.uv_offset, W * H);
    EXPECT_EQ(b.len, W * H * 3 / 2);
    EXPECT_EQ(b.mmap_len, b.len + 8);
    EXPECT_EQ(b.y, (uint8_t *)b.addr);
    EXPECT_EQ(b.uv, (uint8_t *)b.addr + W * H);
    EXPECT_EQ(b.server_id, server_id);
    EXPECT_EQ(b.buf_cl, nullptr);
  }

  ASSERT_TRUE(server.send_frames(VISION_STREAM_ROAD, 4));
  expect_frames(road, 1, 4);

  // A frame without metadata requested still comes.
  ASSERT_TRUE(server.send_frames(VISION_STREAM_ROAD, 1));
  VisionBuf *buf = recv_frame(road, nullptr);
  ASSERT_NE(buf, nullptr);
  EXPECT_EQ(first_mismatch(buf, 5), -1);

  // The RGB stream of the same server.
  VisionIpcClient wide("imagerd", VISION_STREAM_WIDE_ROAD, false);
  ASSERT_TRUE(connect_within(wide));
  ASSERT_EQ(wide.num_buffers, 2);
  EXPECT_TRUE(wide.buffers[0].rgb);
  EXPECT_EQ(wide.buffers[0].stride, 64u * 3);
  EXPECT_EQ(wide.buffers[0].len, 64u * 3 * 32);
  ASSERT_TRUE(server.send_frames(VISION_STREAM_WIDE_ROAD, 2));
  expect_frames(wide, 6, 2);

  EXPECT_EQ(server.stop(), 0);
}

TEST(VisionIpc, AvailableStreamsAndStreamsWithoutBuffers) {
  TestPrefix prefix;
  TestDir out_dir("vipc_test_out");
  const std::string out = out_dir / "server.out";
  ServerProcess server("imagerd",
                       {{VISION_STREAM_ROAD, 2, false, 64, 48},
                        {VISION_STREAM_WIDE_ROAD, 2, false, 64, 48},
                        {VISION_STREAM_DRIVER, 0, false, 64, 48}},
                       1, out);
  ASSERT_TRUE(server.ready());

  std::set<VisionStreamType> streams;
  wait_until([&] { return !(streams = VisionIpcClient::getAvailableStreams("imagerd", false)).empty(); }, 10s,
             10ms);
  EXPECT_EQ(streams, (std::set<VisionStreamType>{VISION_STREAM_ROAD, VISION_STREAM_WIDE_ROAD}));

  // A stream created with no buffers, and one never created: success with 0 buffers.
  for (VisionStreamType type : {VISION_STREAM_DRIVER, VISION_STREAM_MAP}) {
    VisionIpcClient client("imagerd", type, false);
    ASSERT_TRUE(connect_within(client)) << type;
    EXPECT_TRUE(client.is_connected());
    EXPECT_EQ(client.num_buffers, 0);
    EXPECT_EQ(client.recv(nullptr, 0), nullptr);
  }
  EXPECT_TRUE(file_gets_text(out, "got request for invalid buffer type: 3\n"));
  EXPECT_EQ(server.stop(), 0);
}

TEST(VisionIpc, WithoutServer) {
  TestPrefix prefix;
  VisionIpcClient client("imagerd", VISION_STREAM_ROAD, false);
  EXPECT_FALSE(client.connect(false));
  EXPECT_FALSE(client.is_connected());
  EXPECT_EQ(client.num_buffers, 0);
  EXPECT_EQ(client.recv(nullptr, 0), nullptr);
  EXPECT_TRUE(VisionIpcClient::getAvailableStreams("imagerd", false).empty());
}

// Makes every later sendmsg of this process fail with EPIPE, as it does when the peer went
// away: the one way to fail the stream request deterministically.
bool fail_every_sendmsg() {
  struct sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_sendmsg, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EPIPE & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  struct sock_fprog prog = {(unsigned short)(sizeof(filter) / sizeof(filter[0])), filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

// The server is reachable but the stream request cannot be sent: connect reports failure
// like for an unreachable server, and a later connect succeeds.
TEST(VisionIpc, StreamRequestThatCannotBeSentFailsConnect) {
  TestPrefix prefix;
  ServerProcess server("imagerd", {{VISION_STREAM_ROAD, 2, false, 64, 48}}, 1);
  ASSERT_TRUE(server.ready());
  {
    VisionIpcClient probe("imagerd", VISION_STREAM_ROAD, false);
    ASSERT_TRUE(connect_within(probe));  // the listener answers
  }
  fflush(stdout);
  const pid_t pid = fork_child([] {
    VisionIpcClient client("imagerd", VISION_STREAM_ROAD, false);
    if (!fail_every_sendmsg()) return 2;
    const bool connected = client.connect(false);
    return !connected && !client.is_connected() && client.num_buffers == 0 ? 0 : 1;
  });
  ASSERT_GT(pid, 0);
  const std::optional<int> status = wait_child_status(pid, 30s);
  ASSERT_TRUE(status && WIFEXITED(*status)) << "client died or hung, status " << status.value_or(-1);
  EXPECT_EQ(WEXITSTATUS(*status), 0);

  VisionIpcClient client("imagerd", VISION_STREAM_ROAD, false);
  ASSERT_TRUE(connect_within(client));
  EXPECT_EQ(client.num_buffers, 2);
  EXPECT_EQ(server.stop(), 0);
}

// A restarted server has a new identity: the client notices with the first packet, yields
// no frame, and reads again after connecting anew. With more buffers than before, that
// first packet may name a buffer the client never imported.
TEST(VisionIpc, ServerRestartIsNoticedAndClientReconnects) {
  struct Case {
    const char *what;
    size_t new_buffers;
    int skip;  // buffers the new server passes over before its first packet
  };
  const Case cases[] = {
      {"same buffers", 3, 0},
      {"more buffers, first index beyond the old ones", 6, 4},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TestPrefix prefix;
    VisionIpcClient client("imagerd", VISION_STREAM_ROAD, false);
    {
      ServerProcess old_server("imagerd", {{VISION_STREAM_ROAD, 3, false, 320, 240}}, 100);
      ASSERT_TRUE(old_server.ready());
      ASSERT_TRUE(connect_within(client));
      // The client subscribed before this publisher took the topic over: its first poll
      // moves it to the topic's newest position, and packets flow from then on.
      EXPECT_EQ(client.recv(nullptr, 0), nullptr);
      ASSERT_TRUE(old_server.send_frames(VISION_STREAM_ROAD, 2));
      expect_frames(client, 100, 2);
      EXPECT_EQ(old_server.stop(), 0);
    }

    ServerProcess new_server("imagerd", {{VISION_STREAM_ROAD, c.new_buffers, false, 320, 240}}, 200);
    ASSERT_TRUE(new_server.ready());
    EXPECT_EQ(client.recv(nullptr, 0), nullptr);
    EXPECT_TRUE(client.is_connected());  // nothing from the new server has arrived yet
    int sent = 0;
    int skipped = 0;
    for (int tries = 0; tries < 20 && client.is_connected(); tries++) {
      const int skip = sent == 0 ? c.skip : 0;
      ASSERT_TRUE(new_server.send_frames(VISION_STREAM_ROAD, 1, skip));
      sent++;
      skipped += skip;
      EXPECT_EQ(client.recv(nullptr, 1000), nullptr);  // never a frame from the wrong buffers
    }
    EXPECT_FALSE(client.is_connected());

    ASSERT_TRUE(connect_within(client));
    EXPECT_EQ(client.num_buffers, (int)c.new_buffers);
    ASSERT_TRUE(new_server.send_frames(VISION_STREAM_ROAD, 2));
    expect_frames(client, 200 + sent, 2, skipped + sent);
    EXPECT_EQ(new_server.stop(), 0);
  }
}

// Packets naming a buffer the client never imported yield no frame, whatever identity they
// carry, and leave the client not connected.
TEST(VisionIpc, PacketsBeyondTheImportedBuffersYieldNoFrame) {
  struct Case {
    const char *what;
    uint64_t idx;
    bool servers_identity;
  };
  const Case cases[] = {
      {"index past the imported buffers, identity of an empty slot", 5, false},
      {"index past the buffer table", 200, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TestPrefix prefix;
    ServerProcess server("imagerd", {{VISION_STREAM_ROAD, 2, false, 64, 48}}, 1);
    ASSERT_TRUE(server.ready());
    VisionIpcClient client("imagerd", VISION_STREAM_ROAD, false);
    ASSERT_TRUE(connect_within(client));

    // A foreign publisher takes the frame topic over; the client joins it at its next poll.
    std::unique_ptr<Context> ctx(Context::create());
    std::unique_ptr<PubSocket> pub(
        PubSocket::create(ctx.get(), get_endpoint_name("imagerd", VISION_STREAM_ROAD), false));
    ASSERT_NE(pub, nullptr);
    EXPECT_EQ(client.recv(nullptr, 0), nullptr);

    VisionIpcPacket packet = {};
    packet.server_id = c.servers_identity ? client.buffers[0].server_id : 0;
    packet.idx = c.idx;
    ASSERT_EQ(pub->send((char *)&packet, sizeof(packet)), (int)sizeof(packet));
    for (int i = 0; i < 50 && client.is_connected(); i++) {
      EXPECT_EQ(client.recv(nullptr, 100), nullptr);
    }
    EXPECT_FALSE(client.is_connected());
    EXPECT_EQ(server.stop(), 0);
  }
}

// Clients that break the setup protocol cost only their own connection.
TEST(VisionIpc, MisbehavingClientsDoNotStopTheServer) {
  TestPrefix prefix;
  ServerProcess server("imagerd", {{VISION_STREAM_ROAD, 2, false, 64, 48}}, 1);
  ASSERT_TRUE(server.ready());
  const std::string path = get_ipc_path("imagerd");
  int probe = -1;
  wait_until([&] { return (probe = ipc_connect(path.c_str())) >= 0; }, 10s, 10ms);
  ASSERT_GE(probe, 0);
  close(probe);  // closes before any request

  struct Misbehaviour {
    const char *what;
    std::vector<char> request;
  };
  const int32_t road = VISION_STREAM_ROAD, list = VISION_STREAM_MAX;
  const Misbehaviour cases[] = {
      {"two bytes, then close", {1, 0}},
      {"eight bytes", std::vector<char>(8, 0)},
      {"stream list request, gone before the reply", {(char *)&list, (char *)&list + 4}},
      {"buffer request, gone before the reply", {(char *)&road, (char *)&road + 4}},
  };
  for (const Misbehaviour &m : cases) {
    SCOPED_TRACE(m.what);
    int fd = ipc_connect(path.c_str());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(send(fd, m.request.data(), m.request.size(), MSG_NOSIGNAL), (ssize_t)m.request.size());
    close(fd);
  }

  // One that connects and says nothing, still connected while a proper client sets up.
  int silent = ipc_connect(path.c_str());
  ASSERT_GE(silent, 0);

  VisionIpcClient client("imagerd", VISION_STREAM_ROAD, false);
  ASSERT_TRUE(connect_within(client));
  EXPECT_EQ(client.num_buffers, 2);
  ASSERT_TRUE(server.send_frames(VISION_STREAM_ROAD, 2));
  expect_frames(client, 1, 2);
  close(silent);
  EXPECT_EQ(server.stop(), 0);
}

// Clients that connect and then say nothing are waited for side by side, each up to its own
// time-out: a setup that comes meanwhile is answered at once, not after theirs. Eight silent
// clients reconnect as soon as the server gives up on them, like a crowd of stuck peers.
// A round counts when all eight are connected at once and the setup completes before the server
// has given up on any of them; load can spoil a round (a setup slower than the time-out), so
// there are a few. A server that serves one connection at a time never gets all eight in.
TEST(VisionIpc, SilentClientsDoNotHoldUpAnotherSetup) {
  TestPrefix prefix;
  ServerProcess server("imagerd", {{VISION_STREAM_ROAD, 2, false, 64, 48}}, 1);
  ASSERT_TRUE(server.ready());
  const std::string path = get_ipc_path("imagerd");

  constexpr int SILENT = 8;
  std::atomic<bool> stop{false};
  std::atomic<int> connected{0};  // silent clients connected right now
  std::atomic<int> dropped{0};    // silent connections the server has closed
  std::vector<std::thread> silent;
  for (int i = 0; i < SILENT; i++) {
    silent.emplace_back([&] {
      while (!stop) {
        int fd = ipc_connect(path.c_str());
        if (fd < 0) {
          std::this_thread::sleep_for(10ms);
          continue;
        }
        connected++;
        pollfd p = {fd, POLLIN, 0};
        while (!stop && poll(&p, 1, 20) == 0) {
        }
        if (p.revents != 0) dropped++;
        connected--;
        close(fd);
      }
    });
  }

  bool answered_while_they_wait = false;
  for (int round = 0; round < 3 && !answered_while_they_wait; round++) {
    if (!wait_until([&] { return connected == SILENT; }, 5s, 10ms)) continue;
    const int dropped_before = dropped;
    VisionIpcClient client("imagerd", VISION_STREAM_ROAD, false);
    const bool ok = client.connect(false);
    answered_while_they_wait = ok && client.num_buffers == 2 && dropped == dropped_before;
  }
  // Silence ends in the server's time-out, not in a connection held for ever.
  const bool all_dropped = wait_until([&] { return dropped >= SILENT; }, 10s, 10ms);
  stop = true;
  for (std::thread &t : silent) t.join();

  EXPECT_TRUE(answered_while_they_wait) << "a setup waited for silent clients' time-outs";
  EXPECT_TRUE(all_dropped) << "silent connections were never closed (" << dropped << " of " << SILENT << ")";
  EXPECT_EQ(server.stop(), 0);
}

// Whether every thread of process `pid` is stopped (state T), as a SIGSTOP leaves them.
bool all_threads_stopped(pid_t pid) {
  std::error_code ec;
  int threads = 0;
  for (const auto &task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream f(task.path() / "stat");
    std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const size_t name_end = stat.rfind(')');
    if (name_end == std::string::npos || stat.compare(name_end, 3, ") T") != 0) return false;
    threads++;
  }
  return threads > 0;
}

// A camera server that is alive but frozen (stopped) leaves setup connections unanswered, and
// once its backlog is full, not even taken. Neither holds the client: connect gives up and
// says false, getAvailableStreams finds nothing, and once the server runs again the client's
// next connect gets its buffers.
TEST(VisionIpc, FrozenServerHoldsNoClient) {
  TestPrefix prefix;
  ServerProcess server("imagerd", {{VISION_STREAM_ROAD, 2, false, 64, 48}}, 1);
  ASSERT_TRUE(server.ready());
  VisionIpcClient client("imagerd", VISION_STREAM_ROAD, false);
  ASSERT_TRUE(connect_within(client));  // the listener answers

  ASSERT_EQ(kill(server.pid(), SIGSTOP), 0);
  struct Thaw {
    pid_t pid;
    ~Thaw() { kill(pid, SIGCONT); }
  } thaw{server.pid()};
  ASSERT_TRUE(wait_until([&] { return all_threads_stopped(server.pid()); }, 10s, 10ms));
  fflush(stdout);
  const pid_t child = fork_child([] {
    VisionIpcClient frozen_out("imagerd", VISION_STREAM_ROAD, false);
    // Taken into the backlog, never answered.
    if (frozen_out.connect(false) || frozen_out.is_connected() || frozen_out.num_buffers != 0) return 1;
    // The backlog filled up: connecting itself would wait.
    const std::string path = get_ipc_path("imagerd");
    for (int i = 0; i < 64 && ipc_connect(path.c_str(), 50) >= 0; i++) {
    }
    if (frozen_out.connect(false)) return 2;
    if (!VisionIpcClient::getAvailableStreams("imagerd", false).empty()) return 3;
    return 0;
  });
  ASSERT_GT(child, 0);
  const int result = wait_child(child, 30s);  // -1: it was still held, and killed
  EXPECT_EQ(result, 0) << (result < 0 ? "the client was held by the frozen server"
                                      : "a frozen server answered");

  ASSERT_EQ(kill(server.pid(), SIGCONT), 0);
  ASSERT_TRUE(connect_within(client));
  EXPECT_EQ(client.num_buffers, 2);
  ASSERT_TRUE(server.send_frames(VISION_STREAM_ROAD, 2));
  expect_frames(client, 1, 2);
  EXPECT_EQ(server.stop(), 0);
}

TEST(VisionIpc, ListenerSurvivesAFailingAccept) {
  TestPrefix prefix;
  TestDir out_dir("vipc_test_out");
  const std::string out = out_dir / "server.out";
  ServerProcess server("imagerd", {{VISION_STREAM_ROAD, 2, false, 64, 48}}, 1, out);
  ASSERT_TRUE(server.ready());
  const std::string path = get_ipc_path("imagerd");
  // The listener is up. No client connects before the descriptors are taken: the listener
  // closes a served setup connection after replying, and a descriptor freed that way after
  // the hoarding would let the next accept succeed.
  ASSERT_TRUE(file_gets_text(out, "Starting listener for: imagerd\n"));
  VisionIpcClient client("imagerd", VISION_STREAM_ROAD, false);

  ASSERT_TRUE(server.exhaust_descriptors());
  int waiting = ipc_connect(path.c_str());  // queued; the server cannot take it yet
  ASSERT_GE(waiting, 0);
  ASSERT_TRUE(file_gets_text(out, "accept failed"));
  ASSERT_TRUE(server.release_descriptors());

  // The same connection is served once descriptors are free again.
  int32_t request = VISION_STREAM_MAX;
  ASSERT_EQ(ipc_sendrecv_with_fds(true, waiting, &request, sizeof(request), nullptr, 0, nullptr), 4);
  ASSERT_TRUE(wait_readable(waiting, 10000));
  int32_t reply[4] = {-1, -1, -1, -1};
  EXPECT_EQ(ipc_sendrecv_with_fds(false, waiting, reply, sizeof(reply), nullptr, 0, nullptr), 4);
  EXPECT_EQ(reply[0], VISION_STREAM_ROAD);
  close(waiting);

  ASSERT_TRUE(connect_within(client));
  ASSERT_TRUE(server.send_frames(VISION_STREAM_ROAD, 2));
  expect_frames(client, 1, 2);
  EXPECT_EQ(server.stop(), 0);
  EXPECT_TRUE(file_gets_text(out, "Stopping listener for: imagerd\n"));
}

TEST(VisionIpc, ConflateKeepsOnlyTheNewestPacket) {
  TestPrefix prefix;
  ServerProcess server("imagerd", {{VISION_STREAM_ROAD, 3, false, 64, 48}}, 10);
  ASSERT_TRUE(server.ready());
  VisionIpcClient queued("imagerd", VISION_STREAM_ROAD, false);
  VisionIpcClient newest("imagerd", VISION_STREAM_ROAD, true);
  ASSERT_TRUE(connect_within(queued));
  ASSERT_TRUE(connect_within(newest));

  ASSERT_TRUE(server.send_frames(VISION_STREAM_ROAD, 3));  // all three published before any read
  expect_frames(queued, 10, 3);
  EXPECT_EQ(queued.recv(nullptr, 0), nullptr);

  VisionIpcBufExtra extra = {};
  VisionBuf *buf = recv_frame(newest, &extra);
  ASSERT_NE(buf, nullptr);
  EXPECT_EQ(extra.frame_id, 12u);
  EXPECT_EQ(first_mismatch(buf, 12), -1);
  EXPECT_EQ(newest.recv(nullptr, 0), nullptr);
  EXPECT_EQ(server.stop(), 0);
}

// OpenCL objects named in a buffer record belong to the sender's process. A server that does
// not zero them (this one is a bare socket standing in for a foreign server) must not get the
// client to use or release them as its own.
TEST(VisionIpc, ClientIgnoresTheSendersOpenClHandles) {
  TestPrefix prefix;
  VisionBuf served;
  served.allocate(64 * 48 * 3 / 2);
  served.init_yuv(64, 48, 64, 64 * 48);
  served.server_id = 77;
  VisionBuf record = served;
  record.buf_cl = (cl_mem)0x1000;
  record.copy_q = (cl_command_queue)0x2000;

  const std::string path = get_ipc_path("imagerd");
  const int listen_fd = ipc_bind(path.c_str());
  std::thread foreign_server([&] {
    if (!wait_readable(listen_fd, 10000)) return;
    int fd = accept(listen_fd, nullptr, nullptr);
    int32_t request = -1;
    if (fd >= 0 && ipc_sendrecv_with_fds(false, fd, &request, sizeof(request), nullptr, 0, nullptr) == 4) {
      ipc_sendrecv_with_fds(true, fd, &record, sizeof(record), &served.fd, 1, nullptr);
    }
    if (fd >= 0) close(fd);
  });

  {
    VisionIpcClient client("imagerd", VISION_STREAM_ROAD, false);
    const bool connected = client.connect(false);
    foreign_server.join();
    ASSERT_TRUE(connected);
    ASSERT_EQ(client.num_buffers, 1);
    EXPECT_EQ(client.buffers[0].buf_cl, nullptr);
    EXPECT_EQ(client.buffers[0].copy_q, nullptr);
    EXPECT_EQ(client.buffers[0].server_id, 77u);
  }  // the client frees its buffer: a kept handle would be released here
  close(listen_fd);
  unlink(path.c_str());
  EXPECT_EQ(served.free(), 0);
}

TEST(VisionIpc, ClientOpenClViewSeesServerPixels) {
  ClTestDevice cl;
  if (!cl.ok()) GTEST_SKIP() << "no OpenCL CPU device";
  TestPrefix prefix;
  ServerProcess server("imagerd", {{VISION_STREAM_ROAD, 2, false, 256, 128}}, 50);
  ASSERT_TRUE(server.ready());
  VisionIpcClient client("imagerd", VISION_STREAM_ROAD, false, cl.device, cl.context);
  ASSERT_TRUE(connect_within(client));
  ASSERT_TRUE(server.send_frames(VISION_STREAM_ROAD, 1));
  VisionIpcBufExtra extra = {};
  VisionBuf *buf = recv_frame(client, &extra);
  ASSERT_NE(buf, nullptr);
  ASSERT_NE(buf->buf_cl, nullptr);

  std::vector<uint8_t> via_cl(buf->len);
  ASSERT_EQ(clEnqueueReadBuffer(cl.queue, buf->buf_cl, CL_TRUE, 0, buf->len, via_cl.data(), 0, nullptr, nullptr),
            CL_SUCCESS);
  for (size_t i = 0; i < buf->len; i++) ASSERT_EQ(via_cl[i], pattern_byte(50, i)) << "byte " << i;
  EXPECT_EQ(server.stop(), 0);
}

}  // namespace
