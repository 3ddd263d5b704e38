#include "strand/visionipc/ipc.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "strand/messaging/messaging.h"
#include "common/fatal_check.h"

namespace {

// Both ends write the path the same way, so a path cut to fit is cut alike on both.
sockaddr_un unix_address(const char *socket_path) {
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", socket_path);
  return addr;
}

}  // namespace

int ipc_connect(const char *socket_path, int timeout_ms) {
  int sock = socket(AF_UNIX, SOCK_SEQPACKET, 0);
  if (sock < 0) return -1;
  if (timeout_ms > 0) {
    const timeval tv = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  }
  sockaddr_un addr = unix_address(socket_path);
  int err = connect(sock, (sockaddr *)&addr, sizeof(addr));
  if (err != 0) {
    close(sock);
    return -1;
  }
  return sock;
}

int ipc_bind(const char *socket_path) {
  unlink(socket_path);
  int sock = socket(AF_UNIX, SOCK_SEQPACKET, 0);
  FATAL_CHECK(sock >= 0);
  sockaddr_un addr = unix_address(socket_path);
  int err = bind(sock, (sockaddr *)&addr, sizeof(addr));
  FATAL_CHECK(err == 0);
  err = listen(sock, 3);
  FATAL_CHECK(err == 0);
  return sock;
}

int ipc_sendrecv_with_fds(bool send, int fd, void *buf, size_t buf_size, int *fds, int num_fds, int *out_num_fds) {
  const size_t control_size = num_fds > 0 ? CMSG_SPACE(sizeof(int) * num_fds) : 0;
  // Zeroed, and aligned for the cmsghdr records that CMSG_* walk over.
  std::vector<uint64_t> control_buf((control_size + sizeof(uint64_t) - 1) / sizeof(uint64_t));

  iovec iov = {};
  iov.iov_base = buf;
  iov.iov_len = buf_size;

  msghdr msg = {};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  if (num_fds > 0) {
    FATAL_CHECK(fds);
    msg.msg_control = control_buf.data();
    msg.msg_controllen = control_size;
  }

  if (send) {
    if (num_fds > 0) {
      cmsghdr *cmsg = CMSG_FIRSTHDR(&msg);
      FATAL_CHECK(cmsg);
      cmsg->cmsg_level = SOL_SOCKET;
      cmsg->cmsg_type = SCM_RIGHTS;
      cmsg->cmsg_len = CMSG_LEN(sizeof(int) * num_fds);
      memcpy(CMSG_DATA(cmsg), fds, sizeof(int) * num_fds);
    }
    // A client may be gone before its reply: that must fail this send (EPIPE), not raise
    // SIGPIPE and end the serving process.
    return sendmsg(fd, &msg, MSG_NOSIGNAL);
  }

  int r = recvmsg(fd, &msg, 0);
  if (r < 0) return r;

  int recv_fds = 0;
  std::vector<int> received;
  if (msg.msg_controllen > 0) {
    cmsghdr *cmsg = CMSG_FIRSTHDR(&msg);
    FATAL_CHECK(cmsg);
    FATAL_CHECK(cmsg->cmsg_level == SOL_SOCKET && cmsg->cmsg_type == SCM_RIGHTS);
    recv_fds = (int)(cmsg->cmsg_len - CMSG_LEN(0));
    FATAL_CHECK(recv_fds > 0 && (recv_fds % sizeof(int)) == 0);
    recv_fds /= sizeof(int);
    received.resize(recv_fds);
    memcpy(received.data(), CMSG_DATA(cmsg), sizeof(int) * recv_fds);
  }

  // A reply cut short (data or descriptors) is unusable: give back what arrived of it. The
  // control buffer's padding can admit one descriptor more than asked for; a peer sending
  // that many broke the protocol just the same.
  if (msg.msg_flags || recv_fds > num_fds) {
    for (int received_fd : received) close(received_fd);
    return -1;
  }
  if (recv_fds > 0) {
    memcpy(fds, received.data(), sizeof(int) * recv_fds);
  }

  if (fds) {
    FATAL_CHECK(out_num_fds);
    *out_num_fds = recv_fds;
  }
  return r;
}

std::string get_ipc_path(const std::string &name) {
  std::string path = "/tmp/";
  if (const char *prefix = getenv("TAVRIN_PREFIX")) {
    path += std::string(prefix) + "_";
  }
  return path + "visionipc_" + name;
}

std::string get_endpoint_name(std::string name, VisionStreamType type) {
  if (messaging_use_zmq()) {
    FATAL_CHECK(name == "imagerd" || name == "guided");
    return std::to_string(9000 + static_cast<int>(type));
  }
  return "visionipc_" + name + "_" + std::to_string(static_cast<int>(type));
}
