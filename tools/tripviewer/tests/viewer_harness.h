#pragma once

// The viewer as a real process for tests, and a plain HTTP/1.1 client that sends its request line
// exactly as given (no normalising of paths), so refused forms reach the server as written.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/wait.h"

struct HttpResponse {
  int status = -1;                             // -1: no response
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
  std::string header(const std::string &name) const {
    auto it = headers.find(name);
    return it == headers.end() ? "" : it->second;
  }
};

// A TCP connection to the viewer on 127.0.0.1, closed with its owner.
inline int connect_local(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons((uint16_t)port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  struct timeval tv = {20, 0};  // bounds every read and write of a test
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  if (connect(fd, (struct sockaddr *)&addr, sizeof(addr)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// One request on a fresh connection; `extra` are whole header lines ending in "\r\n".
inline HttpResponse http_request(int port, const std::string &target, const std::string &method = "GET",
                                 const std::string &extra = "", const std::string &host = "127.0.0.1") {
  HttpResponse r;
  int fd = connect_local(port);
  if (fd < 0) return r;
  const std::string req =
      method + " " + target + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n" + extra + "\r\n";
  std::string raw;
  if (send(fd, req.data(), req.size(), MSG_NOSIGNAL) == (ssize_t)req.size()) {
    char buf[65536];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof(buf), 0)) > 0) raw.append(buf, (size_t)n);
  }
  close(fd);
  const size_t head_end = raw.find("\r\n\r\n");
  if (head_end == std::string::npos) return r;
  std::istringstream head(raw.substr(0, head_end));
  std::string line;
  std::getline(head, line);
  if (sscanf(line.c_str(), "HTTP/1.%*d %d", &r.status) != 1) return r;
  while (std::getline(head, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    r.headers[name] = line.substr(line.find_first_not_of(' ', colon + 1));
  }
  r.body = raw.substr(head_end + 4);
  return r;
}

// tripviewer serving `videos` on a free port of 127.0.0.1.
class ViewerProcess {
 public:
  ViewerProcess(const std::string &videos, const std::string &out_path,
                std::vector<std::string> extra_args = {}) {
    std::vector<std::string> argv = {TRIPVIEWER, "--videos", videos, "--port", "0"};
    argv.insert(argv.end(), extra_args.begin(), extra_args.end());
    proc_ = std::make_unique<ChildProcess>(argv, EnvVars{}, "/", out_path);
    const std::regex serving(R"(serving .* at http://127\.0\.0\.1:(\d+)/)");
    wait_until(
        [&] {
          std::smatch m;
          const std::string out = proc_->output();
          if (std::regex_search(out, m, serving)) port_ = std::stoi(m[1]);
          return port_ > 0 || !proc_->running();
        },
        std::chrono::seconds(30), std::chrono::milliseconds(20));
  }
  int port() const { return port_; }
  pid_t pid() const { return proc_->pid(); }
  ChildProcess &process() { return *proc_; }
  HttpResponse get(const std::string &target, const std::string &extra = "") const {
    return http_request(port_, target, "GET", extra);
  }

 private:
  std::unique_ptr<ChildProcess> proc_;
  int port_ = -1;
};
