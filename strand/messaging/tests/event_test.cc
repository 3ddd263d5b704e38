#include "strand/messaging/event.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "strand/messaging/tests/machine_event_files.h"
#include "tests/support/child_process.h"
#include "tests/support/free_port.h"
#include "tests/support/scoped_env.h"
#include "tests/support/test_prefix.h"
#include "tests/support/wait.h"

namespace {

// Runs `fn` and returns the text of the std::runtime_error it throws ("" when it does not).
std::string runtime_error_text(const std::function<void()> &fn) {
  try {
    fn();
  } catch (const std::runtime_error &e) {
    return e.what();
  }
  return "";
}

const std::string kPid = std::to_string(getpid());

// A non-blocking eventfd closed at the end of the test.
class OwnedEventFd {
 public:
  OwnedEventFd() : fd_(eventfd(0, EFD_NONBLOCK)) {}
  ~OwnedEventFd() { close(fd_); }
  OwnedEventFd(const OwnedEventFd &) = delete;
  OwnedEventFd &operator=(const OwnedEventFd &) = delete;
  Event event() const { return Event(fd_); }

 private:
  int fd_;
};

TEST(EventFile, PathCarriesPrefixAndIdentifierAndCreatesDirectories) {
  TestPrefix prefix;
  struct Case {
    std::string identifier;
    std::string expected_path;
  } cases[] = {
      {"", prefix.dir() + "/strand_events/carState"},
      {"run7", prefix.dir() + "/strand_events/run7/carState"},
      {"a/b", prefix.dir() + "/strand_events/a/b/carState"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.identifier);
    char *mem = nullptr;
    std::string path;
    event_state_shm_mmap("carState", c.identifier, &mem, &path);
    ASSERT_NE(mem, nullptr);
    EXPECT_EQ(path, c.expected_path);

    // A new record is 12 zero bytes: lock-step delivery starts off.
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 12);
    EXPECT_EQ(st.st_mode & 0777 & ~0664, 0u);
    EXPECT_EQ(std::string(mem, 12), std::string(12, '\0'));
    munmap(mem, sizeof(EventState));
  }
}

TEST(EventFile, WithoutTavrinPrefixLivesDirectlyUnderDevShm) {
  ScopedEnv no_prefix("TAVRIN_PREFIX", std::nullopt);
  // A unique identifier keeps this test away from any real controller's files.
  const std::string identifier = unique_name("roadrec_evtest");
  MachineEventFiles files(identifier);
  std::string path;
  event_state_shm_mmap("carState", identifier, nullptr, &path);
  EXPECT_EQ(path, "/dev/shm/strand_events/" + identifier + "/carState");
  EXPECT_TRUE(std::filesystem::exists(path));
}

TEST(EventFile, UnopenableFileAndUncreatableDirectoryThrow) {
  TestPrefix prefix;
  // A directory where the file should be cannot be opened read-write.
  std::filesystem::create_directories(prefix.dir() + "/strand_events/carState");
  EXPECT_EQ(runtime_error_text([] { event_state_shm_mmap("carState", "", nullptr, nullptr); }),
            "Could not open shared memory file.");

  // A plain file where a directory should be stops the directory creation.
  int fd = open((prefix.dir() + "/strand_events/blocked").c_str(), O_CREAT | O_WRONLY, 0644);
  close(fd);
  EXPECT_THROW(event_state_shm_mmap("carState", "blocked", nullptr, nullptr), std::filesystem::filesystem_error);
}

TEST(Event, InvalidDescriptorRefusesEveryOperation) {
  const Event invalid(-1);
  EXPECT_FALSE(invalid.is_valid());
  EXPECT_EQ(invalid.fd(), -1);
  const std::string text = "Event does not have valid file descriptor.";
  EXPECT_EQ(runtime_error_text([&] { invalid.set(); }), text);
  EXPECT_EQ(runtime_error_text([&] { invalid.clear(); }), text);
  EXPECT_EQ(runtime_error_text([&] { invalid.wait(0); }), text);
  EXPECT_EQ(runtime_error_text([&] { invalid.peek(); }), text);
  OwnedEventFd good;
  EXPECT_EQ(runtime_error_text([&] { Event::wait_for_one({good.event(), invalid}, 0); }), text);
}

TEST(Event, WaitDoesNotConsumeAndClearReturnsTheCount) {
  OwnedEventFd fd;
  const Event event = fd.event();
  EXPECT_TRUE(event.is_valid());

  EXPECT_EQ(runtime_error_text([&] { event.wait(0); }), "Event timed out pid: " + kPid);
  EXPECT_FALSE(event.peek());
  EXPECT_EQ(event.clear(), 0);

  event.set();
  EXPECT_NO_THROW(event.wait(0));
  EXPECT_TRUE(event.peek());
  EXPECT_NO_THROW(event.wait(-1));  // still set: waiting did not consume it
  EXPECT_EQ(event.clear(), 1);
  EXPECT_FALSE(event.peek());

  event.set();
  event.set();
  EXPECT_EQ(event.clear(), 2);
  EXPECT_EQ(event.clear(), 0);
}

TEST(Event, WaitForOneReturnsFirstSetInVectorOrder) {
  OwnedEventFd a, b, c;
  const std::vector<Event> events = {a.event(), b.event(), c.event()};

  EXPECT_EQ(runtime_error_text([&] { Event::wait_for_one(events, 0); }), "Event timed out pid: " + kPid);
  c.event().set();
  EXPECT_EQ(Event::wait_for_one(events, 0), 2);
  b.event().set();
  EXPECT_EQ(Event::wait_for_one(events, -1), 1);
  EXPECT_EQ(c.event().clear(), 1);  // not consumed by the wait
}

std::atomic<int> handled_signals{0};
void count_signal(int) { handled_signals++; }

// Only SIGALRM, SIGINT, SIGTERM and SIGQUIT may reach a waiting process. A signal made pending
// while blocked is delivered by the wait exactly when the wait's mask lets it through, which
// makes the check independent of timing.
TEST(Event, WaitLetsOnlyTerminationAndAlarmSignalsInterrupt) {
  struct Case {
    int sig;
    bool interrupts;
  } cases[] = {
      {SIGALRM, true}, {SIGINT, true}, {SIGTERM, true}, {SIGQUIT, true}, {SIGUSR1, false}, {SIGHUP, false},
  };
  OwnedEventFd fd;
  for (const Case &c : cases) {
    SCOPED_TRACE(strsignal(c.sig));
    struct sigaction sa = {}, old_sa;
    sa.sa_handler = count_signal;
    sigaction(c.sig, &sa, &old_sa);
    sigset_t block, old_mask;
    sigemptyset(&block);
    sigaddset(&block, c.sig);
    pthread_sigmask(SIG_BLOCK, &block, &old_mask);
    handled_signals = 0;
    raise(c.sig);

    std::string text = runtime_error_text([&] { fd.event().wait(0); });
    if (c.interrupts) {
      EXPECT_EQ(text, "Event poll failed, errno: " + std::to_string(EINTR) + " pid: " + kPid);
      EXPECT_EQ(handled_signals, 1);
    } else {
      EXPECT_EQ(text, "Event timed out pid: " + kPid);
      EXPECT_EQ(handled_signals, 0);
    }

    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);  // delivers what is still pending
    EXPECT_EQ(handled_signals, 1);
    sigaction(c.sig, &old_sa, nullptr);
  }
}

TEST(SocketEventHandle, OverrideRecordsFreshEventfdsAndDestructionCleansUp) {
  TestPrefix prefix;
  std::string path;
  int called_fd = -1, ready_fd = -1;
  {
    SocketEventHandle handle("carState", "ctl", true);
    path = handle.path();
    EXPECT_EQ(path, prefix.dir() + "/strand_events/ctl/carState");
    EXPECT_FALSE(handle.is_enabled());
    handle.set_enabled(true);
    EXPECT_TRUE(handle.is_enabled());

    called_fd = handle.recv_called().fd();
    ready_fd = handle.recv_ready().fd();
    ASSERT_GE(called_fd, 0);
    ASSERT_GE(ready_fd, 0);
    EXPECT_NE(called_fd, ready_fd);
    // Inheritable by the processes the controller starts.
    EXPECT_EQ(fcntl(called_fd, F_GETFD) & FD_CLOEXEC, 0);

    // What a subscriber maps is what the handle wrote.
    char *mem = nullptr;
    event_state_shm_mmap("carState", "ctl", &mem, nullptr);
    const EventState *seen = reinterpret_cast<const EventState *>(mem);
    EXPECT_EQ(seen->fds[RECV_CALLED], called_fd);
    EXPECT_EQ(seen->fds[RECV_READY], ready_fd);
    EXPECT_TRUE(seen->enabled);
    munmap(mem, sizeof(EventState));

    // A second handle without override shares the recorded descriptors and leaves them open
    // at its end: they belong to the handle that made them.
    handle.recv_called().set();
    {
      SocketEventHandle second("carState", "ctl", false);
      EXPECT_EQ(second.recv_called().fd(), called_fd);
      EXPECT_EQ(second.recv_called().clear(), 1);
    }
    EXPECT_NE(fcntl(called_fd, F_GETFD), -1);
    EXPECT_NE(fcntl(ready_fd, F_GETFD), -1);
  }
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(fcntl(called_fd, F_GETFD), -1);
  EXPECT_EQ(fcntl(ready_fd, F_GETFD), -1);
}

TEST(SocketEventHandle, EnvironmentSwitches) {
  SocketEventHandle::toggle_fake_events(true);
  ASSERT_NE(getenv("STRAND_FAKE"), nullptr);
  EXPECT_STREQ(getenv("STRAND_FAKE"), "1");
  SocketEventHandle::toggle_fake_events(false);
  EXPECT_EQ(getenv("STRAND_FAKE"), nullptr);

  SocketEventHandle::set_fake_prefix("step3");
  EXPECT_EQ(SocketEventHandle::fake_prefix(), "step3");
  SocketEventHandle::set_fake_prefix("");
  EXPECT_EQ(getenv("STRAND_FAKE_PREFIX"), nullptr);
  EXPECT_EQ(SocketEventHandle::fake_prefix(), "");
}

}  // namespace
