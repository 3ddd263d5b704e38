#include "system/orsolo/tools/cmdpanel/tests/panel_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

std::string unique_suffix() {
  std::random_device random;
  return std::to_string(getpid()) + "-" + std::to_string(random());
}

// The current environment with `overrides` applied in order (a later entry wins).
std::vector<std::string> merged_environment(const EnvList &overrides) {
  std::vector<std::string> result;
  for (char **entry = environ; *entry != nullptr; ++entry) {
    result.emplace_back(*entry);
  }
  for (const auto &[key, value] : overrides) {
    const std::string prefix = key + "=";
    bool replaced = false;
    for (std::string &line : result) {
      if (line.compare(0, prefix.size(), prefix) == 0) {
        line = prefix + value;
        replaced = true;
      }
    }
    if (!replaced) result.push_back(prefix + value);
  }
  return result;
}

// Forks and execs; the child dies with the test process so nothing outlives a killed test.
pid_t spawn(const std::vector<std::string> &argv, const EnvList &env, int stdout_fd, int stderr_fd) {
  std::vector<std::string> env_strings = merged_environment(env);
  std::vector<char *> c_argv, c_env;
  for (const auto &arg : argv) c_argv.push_back(const_cast<char *>(arg.c_str()));
  c_argv.push_back(nullptr);
  for (const auto &entry : env_strings) c_env.push_back(const_cast<char *>(entry.c_str()));
  c_env.push_back(nullptr);

  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid != 0) return pid;

  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(127);
  const int null_fd = open("/dev/null", O_RDONLY);
  dup2(null_fd, STDIN_FILENO);
  dup2(stdout_fd, STDOUT_FILENO);
  dup2(stderr_fd, STDERR_FILENO);
  execve(c_argv[0], c_argv.data(), c_env.data());
  _exit(127);
}

// Waits for `pid` until `deadline`; returns false if it is still running then.
bool wait_until(pid_t pid, Clock::time_point deadline, int *wait_status) {
  for (;;) {
    const pid_t done = waitpid(pid, wait_status, WNOHANG);
    if (done == pid) return true;
    if (done < 0 && errno != EINTR) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void drain(int fd, std::string *into, bool *open) {
  char buffer[4096];
  const ssize_t n = read(fd, buffer, sizeof(buffer));
  if (n > 0) {
    into->append(buffer, static_cast<size_t>(n));
  } else if (n == 0 || errno != EINTR) {
    *open = false;
  }
}

bool can_connect(const std::string &socket_path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket_path.c_str(), sizeof(address.sun_path) - 1);
  const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
  close(fd);
  return ok;
}

}  // namespace

ChildResult run_bounded(const std::vector<std::string> &argv, const EnvList &env,
                        std::chrono::milliseconds timeout) {
  ChildResult result;
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) return result;
  if (pipe2(err_pipe, O_CLOEXEC) != 0) {
    close(out_pipe[0]);
    close(out_pipe[1]);
    return result;
  }
  const pid_t pid = spawn(argv, env, out_pipe[1], err_pipe[1]);
  close(out_pipe[1]);
  close(err_pipe[1]);

  const Clock::time_point deadline = Clock::now() + timeout;
  bool out_open = true, err_open = true;
  while ((out_open || err_open) && Clock::now() < deadline) {
    pollfd fds[2] = {{out_open ? out_pipe[0] : -1, POLLIN, 0}, {err_open ? err_pipe[0] : -1, POLLIN, 0}};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (poll(fds, 2, static_cast<int>(std::max<long>(1, left.count()))) < 0 && errno != EINTR) break;
    if (fds[0].revents != 0) drain(out_pipe[0], &result.out, &out_open);
    if (fds[1].revents != 0) drain(err_pipe[0], &result.err, &err_open);
  }
  close(out_pipe[0]);
  close(err_pipe[0]);

  int wait_status = 0;
  if (!wait_until(pid, deadline, &wait_status)) {
    result.timed_out = true;
    kill(pid, SIGKILL);
    waitpid(pid, &wait_status, 0);
  }
  result.exited = WIFEXITED(wait_status);
  result.status = result.exited ? WEXITSTATUS(wait_status) : WTERMSIG(wait_status);
  return result;
}

ScratchDir::ScratchDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / ("cmdpanel-" + unique_suffix() + "-XXXXXX")).string();
  if (mkdtemp(pattern.data()) != nullptr) {
    path_ = pattern;
    chmod(path_.c_str(), 0700);
  }
}

ScratchDir::~ScratchDir() {
  if (!path_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
}

HeadlessCompositor::HeadlessCompositor() : socket_name_("cmdpanel-" + unique_suffix()) {
  if (runtime_.path().empty()) return;
  const std::string log_path = runtime_.path() + "/weston.log";
  const int log_fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (log_fd < 0) return;
  // kiosk-shell makes every toplevel full screen, as on the device, and starts no helper clients.
  pid_ = spawn({WESTON_PROGRAM, "--backend=headless-backend.so", "--width=2160", "--height=1080",
                "--shell=kiosk-shell.so", "--idle-time=0", "--no-config", "--socket=" + socket_name_},
               {{"XDG_RUNTIME_DIR", runtime_.path()}, {"WAYLAND_DISPLAY", ""}, {"WAYLAND_SOCKET", ""}},
               log_fd, log_fd);
  close(log_fd);

  const std::string socket_path = runtime_.path() + "/" + socket_name_;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(20);
  while (Clock::now() < deadline) {
    int wait_status = 0;
    if (waitpid(pid_, &wait_status, WNOHANG) == pid_) {
      pid_ = -1;  // it died on start-up; log() tells why
      return;
    }
    if (can_connect(socket_path)) {
      ready_ = true;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

HeadlessCompositor::~HeadlessCompositor() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int wait_status = 0;
  if (!wait_until(pid_, Clock::now() + std::chrono::seconds(5), &wait_status)) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &wait_status, 0);
  }
}

EnvList HeadlessCompositor::client_env() const {
  return {{"XDG_RUNTIME_DIR", runtime_.path()}, {"WAYLAND_DISPLAY", socket_name_}, {"QT_QPA_PLATFORM", "wayland"}};
}

std::string HeadlessCompositor::log() const { return read_file(runtime_.path() + "/weston.log"); }

std::string read_file(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}
