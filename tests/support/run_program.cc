#include "tests/support/run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "tests/support/wait.h"

namespace {

// Reads what is there from `fd` into `into`; marks it closed at its end or on an error.
void drain(int &fd, std::string *into) {
  char buf[65536];
  const ssize_t n = read(fd, buf, sizeof(buf));
  if (n > 0) {
    into->append(buf, (size_t)n);
  } else if (n == 0 || errno != EINTR) {
    close(fd);
    fd = -1;
  }
}

}  // namespace

RunResult run_program(const std::vector<std::string> &argv, const RunOptions &options) {
  RunResult result;
  int out[2] = {-1, -1}, err[2] = {-1, -1}, in[2] = {-1, -1};
  const bool feed = !options.input.empty();
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 || (feed && pipe2(in, O_CLOEXEC) != 0)) {
    for (int fd : {out[0], out[1], err[0], err[1], in[0], in[1]}) {
      if (fd >= 0) close(fd);
    }
    return result;
  }
  if (feed) signal(SIGPIPE, SIG_IGN);  // a program that exits before reading it all must not end the test
  const pid_t pid = spawn_program(argv, options.env, options.inherit_env, "", in[0], out[1], err[1]);
  for (int fd : {out[1], err[1], in[0]}) {
    if (fd >= 0) close(fd);
  }
  int in_fd = in[1];
  if (pid < 0) {
    for (int fd : {out[0], err[0], in_fd}) {
      if (fd >= 0) close(fd);
    }
    return result;
  }
  if (in_fd >= 0) fcntl(in_fd, F_SETFL, O_NONBLOCK);

  const auto deadline = std::chrono::steady_clock::now() + options.timeout;
  int out_fd = out[0], err_fd = err[0];
  size_t written = 0;
  while ((out_fd >= 0 || err_fd >= 0) && ms_until(deadline) > 0) {
    pollfd fds[3] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}, {in_fd, POLLOUT, 0}};
    const int n = poll(fds, 3, ms_until(deadline));
    if (n < 0 && errno != EINTR) break;
    if (n <= 0) continue;
    if (fds[0].revents != 0) drain(out_fd, &result.out);
    if (fds[1].revents != 0) drain(err_fd, &result.err);
    if (fds[2].revents != 0) {
      const ssize_t w = write(in_fd, options.input.data() + written, options.input.size() - written);
      if (w > 0) written += (size_t)w;
      if ((w < 0 && errno != EINTR && errno != EAGAIN) || written == options.input.size()) {
        close(in_fd);
        in_fd = -1;
      }
    }
  }
  for (int fd : {out_fd, err_fd, in_fd}) {
    if (fd >= 0) close(fd);
  }

  int status = 0;
  const bool ended =
      wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; },
                 std::chrono::milliseconds(std::max(ms_until(deadline), 0)), std::chrono::milliseconds(2));
  if (!ended) {
    result.timed_out = true;
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return result;
  }
  result.exited = WIFEXITED(status);
  if (result.exited) {
    result.status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  return result;
}

RunResult run_command(const std::string &command, const RunOptions &options) {
  return run_program({"/bin/sh", "-c", command}, options);
}
