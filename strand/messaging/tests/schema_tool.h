#pragma once

// Runs the schema compiler (or any tool) as an outside process: feeds it `input` on stdin,
// collects stdout, and gives up after a bounded time so a test can never hang on it.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

struct ToolResult {
  int status = -1;  // exit status, or -1 when the tool did not exit normally in time
  std::string out;
};

inline ToolResult run_tool(const std::vector<std::string> &argv, const std::string &input = "",
                           int timeout_ms = 30000) {
  ToolResult result;
  signal(SIGPIPE, SIG_IGN);  // a tool that exits early must not take the test down
  int in_pipe[2], out_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) != 0) return result;
  if (pipe2(out_pipe, O_CLOEXEC) != 0) {
    close(in_pipe[0]);
    close(in_pipe[1]);
    return result;
  }
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  if (pid < 0) {
    close(in_pipe[1]);
    close(out_pipe[0]);
    return result;
  }

  size_t written = 0;
  int in_fd = in_pipe[1];
  if (input.empty()) {
    close(in_fd);
    in_fd = -1;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  bool out_open = true;
  while (out_open && std::chrono::steady_clock::now() < deadline) {
    struct pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {in_fd, POLLOUT, 0}};
    int n = poll(fds, in_fd >= 0 ? 2 : 1, 100);
    if (n < 0 && errno != EINTR) break;
    if (n <= 0) continue;
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      char buf[4096];
      ssize_t r = read(out_pipe[0], buf, sizeof(buf));
      if (r > 0) {
        result.out.append(buf, r);
      } else if (r == 0 || errno != EINTR) {
        out_open = false;
      }
    }
    if (in_fd >= 0 && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t w = write(in_fd, input.data() + written, input.size() - written);
      if (w > 0) written += w;
      if (w < 0 && errno != EINTR && errno != EAGAIN) written = input.size();
      if (written == input.size()) {
        close(in_fd);
        in_fd = -1;
      }
    }
  }
  if (in_fd >= 0) close(in_fd);
  close(out_pipe[0]);
  if (out_open) kill(pid, SIGKILL);  // timed out
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!out_open && WIFEXITED(status)) result.status = WEXITSTATUS(status);
  return result;
}
