#include "tests/support/child_process.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

#include "tests/support/wait.h"

extern char **environ;

namespace {

std::vector<std::string> environment_with(const EnvVars &env, bool inherit_env) {
  std::vector<std::string> result;
  if (inherit_env) {
    for (char **entry = environ; *entry != nullptr; ++entry) {
      const std::string line = *entry;
      if (env.count(line.substr(0, line.find('='))) == 0) result.push_back(line);
    }
  }
  for (const auto &[name, value] : env) result.push_back(name + "=" + value);
  return result;
}

}  // namespace

pid_t spawn_program(const std::vector<std::string> &argv, const EnvVars &env, bool inherit_env,
                    const std::string &cwd, int in_fd, int out_fd, int err_fd) {
  if (argv.empty()) return -1;
  // Everything the child needs is made before the fork: after it, only calls that are safe in
  // the child of a process with threads.
  const std::vector<std::string> env_strings = environment_with(env, inherit_env);
  std::vector<char *> c_argv, c_env;
  for (const std::string &arg : argv) c_argv.push_back(const_cast<char *>(arg.c_str()));
  c_argv.push_back(nullptr);
  for (const std::string &entry : env_strings) c_env.push_back(const_cast<char *>(entry.c_str()));
  c_env.push_back(nullptr);
  int exec_error[2];  // closed by a successful exec; carries errno when the exec fails
  if (pipe2(exec_error, O_CLOEXEC) != 0) return -1;
  const int null_fd = in_fd < 0 ? open("/dev/null", O_RDONLY | O_CLOEXEC) : -1;

  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);  // the test died before the line above
    dup2(in_fd >= 0 ? in_fd : null_fd, STDIN_FILENO);
    if (out_fd >= 0) dup2(out_fd, STDOUT_FILENO);
    if (err_fd >= 0) dup2(err_fd, STDERR_FILENO);
    if (cwd.empty() || chdir(cwd.c_str()) == 0) execvpe(c_argv[0], c_argv.data(), c_env.data());
    const int error = errno;
    (void)!write(exec_error[1], &error, sizeof(error));
    _exit(127);
  }
  if (null_fd >= 0) close(null_fd);
  close(exec_error[1]);
  int error = 0;
  ssize_t n;
  do {
    n = read(exec_error[0], &error, sizeof(error));
  } while (n < 0 && errno == EINTR);
  close(exec_error[0]);
  if (pid > 0 && n > 0) {
    waitpid(pid, nullptr, 0);  // it is exiting at once
    return -1;
  }
  return pid;
}

ChildProcess::ChildProcess(const std::vector<std::string> &argv, const EnvVars &env, const std::string &cwd,
                           const std::string &out_path, const std::string &err_path) {
  out_fd_ = open(out_path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out_fd_ < 0) return;
  int err_fd = out_fd_;
  if (!err_path.empty()) err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (err_fd < 0) return;
  start(argv, env, cwd, err_fd);
  if (err_fd != out_fd_) close(err_fd);
}

ChildProcess::ChildProcess(const std::vector<std::string> &argv, const EnvVars &env) {
  out_fd_ = memfd_create("child-output", MFD_CLOEXEC);
  if (out_fd_ < 0) return;
  start(argv, env, "", -1);
}

void ChildProcess::start(const std::vector<std::string> &argv, const EnvVars &env, const std::string &cwd,
                         int err_fd) {
  pid_ = spawn_program(argv, env, true, cwd, -1, out_fd_, err_fd);
}

ChildProcess::~ChildProcess() {
  if (running()) {
    kill(pid_, SIGKILL);
    wait_exit(5000);
  }
  if (out_fd_ >= 0) close(out_fd_);
}

bool ChildProcess::running() {
  if (pid_ <= 0 || exited_) return false;
  int status = 0;
  const pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == pid_ || (r < 0 && errno == ECHILD)) {
    exited_ = true;
    status_ = r == pid_ ? status : -1;
  }
  return !exited_;
}

int ChildProcess::wait_exit(int timeout_ms) {
  wait_until([&] { return !running(); }, std::chrono::milliseconds(timeout_ms), std::chrono::milliseconds(5));
  return exited_ ? status_ : -1;
}

int ChildProcess::stop(int sig, int timeout_ms) {
  if (running()) kill(pid_, sig);
  return wait_exit(timeout_ms);
}

std::string ChildProcess::output() const {
  std::string out;
  char buf[65536];
  ssize_t n;
  for (off_t at = 0; (n = pread(out_fd_, buf, sizeof(buf), at)) > 0; at += n) out.append(buf, (size_t)n);
  return out;
}

bool ChildProcess::read_line(std::string *line, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    char buf[4096];
    ssize_t n;
    while ((n = pread(out_fd_, buf, sizeof(buf), read_offset_)) > 0) {
      pending_.append(buf, (size_t)n);
      read_offset_ += n;
    }
    const size_t nl = pending_.find('\n');
    if (nl != std::string::npos) {
      *line = pending_.substr(0, nl);
      pending_.erase(0, nl + 1);
      return true;
    }
    // Output written before the program ended is in the file by now: one more look, then done.
    const bool ended = !running();
    if (ended && pread(out_fd_, buf, 1, read_offset_) > 0) continue;
    if (ended || std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

pid_t fork_child(const std::function<int()> &body) {
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    int status = 99;
    try {
      status = body();
    } catch (...) {
    }
    _exit(status);
  }
  return pid;
}

std::optional<int> wait_child_status(pid_t pid, std::chrono::milliseconds timeout) {
  if (pid <= 0) return std::nullopt;  // a failed fork_child: waitpid would take any child, or a group
  int status = 0;
  pid_t r = 0;
  const bool ended = wait_until(
      [&] {
        r = waitpid(pid, &status, WNOHANG);
        return r != 0 && !(r < 0 && errno == EINTR);
      },
      timeout, std::chrono::milliseconds(2));
  if (ended) {
    if (r == pid) return status;
    return std::nullopt;  // no child of ours
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return std::nullopt;
}

int wait_child(pid_t pid, std::chrono::milliseconds timeout) {
  const std::optional<int> status = wait_child_status(pid, timeout);
  return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}
