#pragma once

// The vision setup channel: Unix-domain sequenced-packet sockets that carry buffer records
// with their descriptors, and the names of the setup socket and of the frame topics.

#include <cstddef>
#include <string>

#include "strand/visionipc/visionbuf.h"

// A socket connected to `socket_path`, or -1 (nothing left open). Paths longer than 107 bytes
// are cut to 107, as ipc_bind does. With `timeout_ms` > 0, connecting (which waits while the
// server's backlog is full) and every later send and receive on the socket give up after that
// long, failing with EAGAIN.
int ipc_connect(const char *socket_path, int timeout_ms = 0);
// A socket listening on `socket_path` (a stale socket file is replaced). Fatal on failure.
int ipc_bind(const char *socket_path);
// Sends or receives one packet of up to buf_size bytes with up to num_fds descriptors.
// Returns the byte count, or a negative value on failure. A received packet that did not fit
// (data or descriptors) returns -1 after closing the descriptors that came with it. When
// receiving with `fds`, the number of descriptors received is stored in *out_num_fds.
int ipc_sendrecv_with_fds(bool send, int fd, void *buf, size_t buf_size, int *fds, int num_fds, int *out_num_fds);

// "/tmp/" + ("$TAVRIN_PREFIX" "_" when set) + "visionipc_" + name.
std::string get_ipc_path(const std::string &name);
// The stream's frame topic: the TCP port "900<type>" under ZeroMQ (only for the servers
// "imagerd" and "guided"), else the queue name "visionipc_<name>_<type>".
std::string get_endpoint_name(std::string name, VisionStreamType type);
