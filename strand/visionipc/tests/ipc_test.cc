// The setup socket helpers and the names of the setup socket and frame topics.

#include "strand/visionipc/ipc.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "strand/visionipc/visionipc.h"
#include "tests/support/scoped_env.h"

namespace {

struct SocketPair {
  int fd[2] = {-1, -1};
  SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fd), 0); }
  ~SocketPair() {
    close(fd[0]);
    close(fd[1]);
  }
};

// True when the read end of a pipe sees end-of-file, that is every write end is closed.
bool write_ends_all_closed(int read_fd) {
  pollfd p = {read_fd, POLLIN, 0};
  if (poll(&p, 1, 2000) != 1) return false;
  char c;
  return read(read_fd, &c, 1) == 0;
}

// A socket path unique to this test process.
std::string unique_path(const std::string &tag) {
  return "/tmp/vipc_ipc_test_" + std::to_string(getpid()) + "_" + tag;
}

TEST(IpcNames, SetupSocketPath) {
  {
    ScopedEnv no_prefix("TAVRIN_PREFIX", std::nullopt);
    EXPECT_EQ(get_ipc_path("imagerd"), "/tmp/visionipc_imagerd");
  }
  ScopedEnv prefix("TAVRIN_PREFIX", "sim42");
  EXPECT_EQ(get_ipc_path("imagerd"), "/tmp/sim42_visionipc_imagerd");
  EXPECT_EQ(get_ipc_path("guided"), "/tmp/sim42_visionipc_guided");
}

TEST(IpcNames, FrameTopicsOfBothTransports) {
  struct Case {
    bool zmq;
    std::string name;
    VisionStreamType type;
    std::string expected;
  };
  const Case cases[] = {
      {false, "imagerd", VISION_STREAM_ROAD, "visionipc_imagerd_0"},
      {false, "imagerd", VISION_STREAM_WIDE_ROAD, "visionipc_imagerd_2"},
      {false, "guided", VISION_STREAM_MAP, "visionipc_guided_3"},
      {false, "anything", VISION_STREAM_DRIVER, "visionipc_anything_1"},
      {true, "imagerd", VISION_STREAM_ROAD, "9000"},
      {true, "imagerd", VISION_STREAM_WIDE_ROAD, "9002"},
      {true, "guided", VISION_STREAM_DRIVER, "9001"},
  };
  ScopedEnv no_prefix("TAVRIN_PREFIX", std::nullopt);
  ScopedEnv zmq_as_it_was("ZMQ", std::nullopt);
  for (const Case &c : cases) {
    if (c.zmq) {
      setenv("ZMQ", "", 1);  // presence alone selects ZeroMQ
    } else {
      unsetenv("ZMQ");
    }
    EXPECT_EQ(get_endpoint_name(c.name, c.type), c.expected) << c.name << " zmq=" << c.zmq;
  }
}

TEST(IpcNamesDeathTest, ZmqAllowsOnlyTheKnownServers) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ScopedEnv no_prefix("TAVRIN_PREFIX", std::nullopt);
  ScopedEnv zmq("ZMQ", "1");
  EXPECT_DEATH(get_endpoint_name("otherd", VISION_STREAM_ROAD), "name == \"imagerd\" \\|\\| name == \"guided\"");
}

TEST(IpcSendRecv, DescriptorsAndDataArriveIntact) {
  SocketPair sp;
  int pipes[3][2];
  for (auto &p : pipes) ASSERT_EQ(pipe(p), 0);
  int send_fds[3] = {pipes[0][1], pipes[1][1], pipes[2][1]};
  char data[] = "three descriptors";
  ASSERT_EQ(ipc_sendrecv_with_fds(true, sp.fd[0], data, sizeof(data), send_fds, 3, nullptr), (int)sizeof(data));

  char got[64] = {};
  int recv_fds[VISIONIPC_MAX_FDS];
  int num = -1;
  ASSERT_EQ(ipc_sendrecv_with_fds(false, sp.fd[1], got, sizeof(got), recv_fds, VISIONIPC_MAX_FDS, &num),
            (int)sizeof(data));
  EXPECT_STREQ(got, data);
  ASSERT_EQ(num, 3);
  // Descriptor i is a duplicate of sent descriptor i: writing to it reaches pipe i.
  for (int i = 0; i < 3; i++) {
    char c = (char)('a' + i);
    ASSERT_EQ(write(recv_fds[i], &c, 1), 1);
    char r = 0;
    ASSERT_EQ(read(pipes[i][0], &r, 1), 1);
    EXPECT_EQ(r, c);
    close(recv_fds[i]);
    close(pipes[i][0]);
    close(pipes[i][1]);
  }
}

TEST(IpcSendRecv, NoDescriptorsStoresZero) {
  SocketPair sp;
  uint32_t v = 7;
  ASSERT_EQ(ipc_sendrecv_with_fds(true, sp.fd[0], &v, sizeof(v), nullptr, 0, nullptr), 4);
  uint32_t got = 0;
  int recv_fds[VISIONIPC_MAX_FDS];
  int num = -1;
  ASSERT_EQ(ipc_sendrecv_with_fds(false, sp.fd[1], &got, sizeof(got), recv_fds, VISIONIPC_MAX_FDS, &num), 4);
  EXPECT_EQ(got, 7u);
  EXPECT_EQ(num, 0);
}

// A reply cut short, in its data or its descriptors, returns -1 and closes every descriptor
// that did arrive with it.
TEST(IpcSendRecv, TruncatedPacketsCloseWhatArrived) {
  struct Case {
    const char *what;
    size_t sent_bytes, room_bytes;
    int sent_fds, room_fds;
  };
  const Case cases[] = {
      {"data larger than the buffer", 136 * 2, 136, 2, 128},
      {"more descriptors than room", 136 * 3, 136 * 3, 3, 1},
      {"descriptors to a receiver taking none", 4, 4, 1, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    SocketPair sp;
    std::vector<int> read_ends, write_ends;
    for (int i = 0; i < c.sent_fds; i++) {
      int p[2];
      ASSERT_EQ(pipe(p), 0);
      read_ends.push_back(p[0]);
      write_ends.push_back(p[1]);
    }
    std::vector<char> out(c.sent_bytes, 'x');
    ASSERT_EQ(ipc_sendrecv_with_fds(true, sp.fd[0], out.data(), out.size(), write_ends.data(), c.sent_fds, nullptr),
              (int)c.sent_bytes);
    for (int fd : write_ends) close(fd);  // only the copies in flight remain

    std::vector<char> in(c.room_bytes);
    std::vector<int> fds(c.room_fds > 0 ? c.room_fds : 1, -1);
    int num = -1;
    EXPECT_EQ(ipc_sendrecv_with_fds(false, sp.fd[1], in.data(), in.size(), c.room_fds > 0 ? fds.data() : nullptr,
                                    c.room_fds, c.room_fds > 0 ? &num : nullptr),
              -1);
    for (int fd : read_ends) {
      EXPECT_TRUE(write_ends_all_closed(fd));
      close(fd);
    }
  }
}

TEST(IpcSendRecv, SendToAGonePeerFailsWithoutSignal) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
  close(fds[1]);
  uint32_t v = 1;
  // Without protection this would raise SIGPIPE and end the test process.
  EXPECT_LT(ipc_sendrecv_with_fds(true, fds[0], &v, sizeof(v), nullptr, 0, nullptr), 0);
  EXPECT_EQ(errno, EPIPE);
  close(fds[0]);
}

TEST(IpcSocket, ConnectWithoutListenerFailsLeavingNothingOpen) {
  const std::string path = unique_path("absent");
  int probe = dup(0);
  close(probe);
  EXPECT_EQ(ipc_connect(path.c_str()), -1);
  // The lowest free descriptor is still the same one: nothing leaked.
  int after = dup(0);
  EXPECT_EQ(after, probe);
  close(after);
}

TEST(IpcSocket, BindReplacesStaleFileAndAcceptsConnections) {
  const std::string path = unique_path("stale");
  int stale = open(path.c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(stale, 0);
  close(stale);
  int listener = ipc_bind(path.c_str());
  ASSERT_GE(listener, 0);
  int client = ipc_connect(path.c_str());
  ASSERT_GE(client, 0);
  int server = accept(listener, nullptr, nullptr);
  ASSERT_GE(server, 0);
  uint32_t v = 0xdeadbeef, got = 0;
  ASSERT_EQ(ipc_sendrecv_with_fds(true, client, &v, sizeof(v), nullptr, 0, nullptr), 4);
  ASSERT_EQ(ipc_sendrecv_with_fds(false, server, &got, sizeof(got), nullptr, 0, nullptr), 4);
  EXPECT_EQ(got, v);
  close(client);
  close(server);
  close(listener);
  unlink(path.c_str());
}

TEST(IpcSocket, LongPathsAreCutAlikeOnBothEnds) {
  std::string path = unique_path("long_");
  path += std::string(150 - path.size(), 'p');
  const std::string cut = path.substr(0, 107);
  int listener = ipc_bind(path.c_str());
  ASSERT_GE(listener, 0);
  EXPECT_EQ(access(cut.c_str(), F_OK), 0);  // the socket file carries the 107-byte name

  int by_long = ipc_connect(path.c_str());
  int by_cut = ipc_connect(cut.c_str());
  EXPECT_GE(by_long, 0);
  EXPECT_GE(by_cut, 0);
  close(by_long);
  close(by_cut);
  close(listener);
  unlink(cut.c_str());
}

}  // namespace
