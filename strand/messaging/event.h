#pragma once

// Lock-step delivery between a controlling process and its subscribers. For every subscribed
// endpoint a 12-byte record in /dev/shm holds two eventfd numbers and an enabled flag: while
// the flag is set a subscriber's receive signals "receive called" and then blocks until the
// controller signals "receive ready". The controller creates the eventfds before it starts the
// processes it controls, so the descriptor numbers in the record are valid in those processes
// (inherited) and nowhere else.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum EventPurpose {
  RECV_CALLED = 0,  // the subscriber entered receive
  RECV_READY = 1,   // the controller lets the subscriber take its next message
};

// The whole event file, in native byte order.
struct EventState {
  int fds[2];    // eventfd numbers, indexed by EventPurpose
  bool enabled;  // lock-step delivery on; a new file is all zero, so off
};
static_assert(sizeof(EventState) == 12, "the event file is 12 bytes");
static_assert(offsetof(EventState, fds) == 0, "fds at offset 0");
static_assert(offsetof(EventState, enabled) == 8, "enabled flag at offset 8");

// Maps the event file of `endpoint`: /dev/shm/[TAVRIN_PREFIX/]strand_events/[identifier/]endpoint,
// creating the directories and the file (mode 0664) as needed. The mapping is stored in
// *shm_mem and the full path in *shm_path, for whichever is not null; the caller unmaps
// sizeof(EventState) bytes. Throws std::runtime_error when the file cannot be opened, sized or
// mapped, and std::filesystem::filesystem_error when a directory cannot be created.
void event_state_shm_mmap(std::string endpoint, std::string identifier, char **shm_mem, std::string *shm_path);

// An eventfd descriptor, not owned: copying or destroying an Event never closes it. Every
// operation except is_valid() and fd() throws std::runtime_error "Event does not have valid
// file descriptor." on a wrapper of -1.
class Event {
 public:
  explicit Event(int fd = -1);

  // Adds 1 to the counter.
  void set() const;
  // Resets the counter to 0 and returns what it held (0 when nothing was pending).
  int clear() const;
  // Waits until the event is set, without consuming it; no limit when timeout_sec < 0.
  // Only SIGALRM, SIGINT, SIGTERM and SIGQUIT are delivered during the wait. Throws
  // "Event timed out pid: <pid>" when nothing came in time and
  // "Event poll failed, errno: <errno> pid: <pid>" when the wait failed or was interrupted.
  void wait(int timeout_sec = -1) const;
  // True when the event is set; never waits.
  bool peek() const;
  bool is_valid() const { return event_fd != -1; }
  int fd() const { return event_fd; }

  // Waits on all events at once (same timeout, signals and errors as wait()) and returns the
  // index of the first one, in vector order, that is set.
  static int wait_for_one(const std::vector<Event> &events, int timeout_sec = -1);

 private:
  void throw_if_invalid() const;

  int event_fd;
};

// The controller's side of one endpoint. Owns the event file (removed on destruction) and its
// mapping; closes on destruction the two descriptors only when it created them (`override`):
// the numbers recorded by another handle may by then name any file of the process.
class SocketEventHandle {
 public:
  // With `override` the handle creates two fresh non-blocking eventfds and records them;
  // otherwise it uses the descriptors already recorded in the file.
  SocketEventHandle(std::string endpoint, std::string identifier = "", bool override = true);
  ~SocketEventHandle();
  SocketEventHandle(const SocketEventHandle &) = delete;
  SocketEventHandle &operator=(const SocketEventHandle &) = delete;

  bool is_enabled() const;
  void set_enabled(bool enabled);
  Event recv_called() const;
  Event recv_ready() const;
  const std::string &path() const { return shm_path; }

  // STRAND_FAKE: "1" when true, removed when false.
  static void toggle_fake_events(bool enabled);
  // STRAND_FAKE_PREFIX: set to `prefix`, removed when it is empty.
  static void set_fake_prefix(std::string prefix);
  // STRAND_FAKE_PREFIX, or "" when unset.
  static std::string fake_prefix();

 private:
  std::string shm_path;
  EventState *state;
  bool owns_fds;
};
