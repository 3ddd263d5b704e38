#include "strand/messaging/event.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <fcntl.h>
#include <unistd.h>

#include "common/fatal_check.h"
#include "common/util.h"

namespace {

std::string event_dir(const std::string &identifier) {
  std::string dir = "/dev/shm/";
  if (const char *prefix = getenv("TAVRIN_PREFIX")) {
    dir += std::string(prefix) + "/";
  }
  dir += "strand_events/";
  if (!identifier.empty()) {
    dir += identifier + "/";
  }
  return dir;
}

std::string pid_text() { return std::to_string(getpid()); }

[[noreturn]] void throw_poll_failed() {
  throw std::runtime_error("Event poll failed, errno: " + std::to_string(errno) + " pid: " + pid_text());
}

// Waits for readability on `fds` with only the termination and alarm signals deliverable, so
// that a controlled process can still be stopped while it is held, and nothing else wakes it.
int poll_events(struct pollfd *fds, nfds_t nfds, int timeout_sec) {
  sigset_t mask;
  sigfillset(&mask);
  sigdelset(&mask, SIGALRM);
  sigdelset(&mask, SIGINT);
  sigdelset(&mask, SIGTERM);
  sigdelset(&mask, SIGQUIT);

  struct timespec timeout = {timeout_sec, 0};
  int ret = ppoll(fds, nfds, timeout_sec < 0 ? nullptr : &timeout, &mask);
  if (ret == -1) throw_poll_failed();
  if (ret == 0) throw std::runtime_error("Event timed out pid: " + pid_text());
  return ret;
}

}  // namespace

void event_state_shm_mmap(std::string endpoint, std::string identifier, char **shm_mem, std::string *shm_path) {
  const std::string dir = event_dir(identifier);
  std::filesystem::create_directories(dir);
  const std::string path = dir + endpoint;

  int fd = util::retry_eintr([&] { return open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0664); });
  if (fd < 0) {
    throw std::runtime_error("Could not open shared memory file.");
  }
  if (util::retry_eintr([&] { return ftruncate(fd, sizeof(EventState)); }) < 0) {
    close(fd);
    throw std::runtime_error("Could not truncate shared memory file.");
  }
  void *mem = mmap(nullptr, sizeof(EventState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (mem == MAP_FAILED) {
    throw std::runtime_error("Could not map shared memory file.");
  }

  if (shm_mem) *shm_mem = static_cast<char *>(mem);
  if (shm_path) *shm_path = path;
}

Event::Event(int fd) : event_fd(fd) {}

void Event::throw_if_invalid() const {
  if (!is_valid()) {
    throw std::runtime_error("Event does not have valid file descriptor.");
  }
}

void Event::set() const {
  throw_if_invalid();
  const uint64_t one = 1;
  ssize_t count = util::retry_eintr([&] { return write(event_fd, &one, sizeof(one)); });
  FATAL_CHECK(count == sizeof(uint64_t));
}

int Event::clear() const {
  throw_if_invalid();
  uint64_t value = 0;
  // The descriptor is non-blocking: nothing pending fails with EAGAIN, which reads as 0.
  ssize_t count = util::retry_eintr([&] { return read(event_fd, &value, sizeof(value)); });
  return count == sizeof(value) ? static_cast<int>(value) : 0;
}

void Event::wait(int timeout_sec) const {
  throw_if_invalid();
  struct pollfd pfd = {event_fd, POLLIN, 0};
  poll_events(&pfd, 1, timeout_sec);
}

bool Event::peek() const {
  throw_if_invalid();
  struct pollfd pfd = {event_fd, POLLIN, 0};
  return poll(&pfd, 1, 0) != 0;
}

int Event::wait_for_one(const std::vector<Event> &events, int timeout_sec) {
  std::vector<struct pollfd> fds;
  fds.reserve(events.size());
  for (const Event &event : events) {
    event.throw_if_invalid();
    fds.push_back({event.event_fd, POLLIN, 0});
  }

  poll_events(fds.data(), fds.size(), timeout_sec);
  for (size_t i = 0; i < fds.size(); i++) {
    if (fds[i].revents & POLLIN) return static_cast<int>(i);
  }
  throw std::runtime_error("Event poll failed, no events ready");
}

SocketEventHandle::SocketEventHandle(std::string endpoint, std::string identifier, bool override)
    : owns_fds(override) {
  char *mem = nullptr;
  event_state_shm_mmap(endpoint, identifier, &mem, &shm_path);
  state = reinterpret_cast<EventState *>(mem);

  if (override) {
    // Not close-on-exec: the processes the controller starts inherit them.
    state->fds[RECV_CALLED] = eventfd(0, EFD_NONBLOCK);
    state->fds[RECV_READY] = eventfd(0, EFD_NONBLOCK);
  }
}

SocketEventHandle::~SocketEventHandle() {
  if (owns_fds) {
    close(state->fds[RECV_CALLED]);
    close(state->fds[RECV_READY]);
  }
  munmap(state, sizeof(EventState));
  unlink(shm_path.c_str());
}

bool SocketEventHandle::is_enabled() const { return state->enabled; }

void SocketEventHandle::set_enabled(bool enabled) { state->enabled = enabled; }

Event SocketEventHandle::recv_called() const { return Event(state->fds[RECV_CALLED]); }

Event SocketEventHandle::recv_ready() const { return Event(state->fds[RECV_READY]); }

void SocketEventHandle::toggle_fake_events(bool enabled) {
  if (enabled) {
    setenv("STRAND_FAKE", "1", 1);
  } else {
    unsetenv("STRAND_FAKE");
  }
}

void SocketEventHandle::set_fake_prefix(std::string prefix) {
  if (prefix.empty()) {
    unsetenv("STRAND_FAKE_PREFIX");
  } else {
    setenv("STRAND_FAKE_PREFIX", prefix.c_str(), 1);
  }
}

std::string SocketEventHandle::fake_prefix() { return util::getenv("STRAND_FAKE_PREFIX", std::string()); }
