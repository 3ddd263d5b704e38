#include "system/orsolo/tools/cmdpanel/tests/panel_harness.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "common/util.h"
#include "tests/support/test_prefix.h"
#include "tests/support/wait.h"

namespace {

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

HeadlessCompositor::HeadlessCompositor() : socket_name_(unique_name("cmdpanel")) {
  // kiosk-shell makes every toplevel full screen, as on the device, and starts no helper clients.
  weston_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{WESTON_PROGRAM, "--backend=headless-backend.so", "--width=2160",
                               "--height=1080", "--shell=kiosk-shell.so", "--idle-time=0", "--no-config",
                               "--socket=" + socket_name_},
      EnvVars{{"XDG_RUNTIME_DIR", runtime_.path()}, {"WAYLAND_DISPLAY", ""}, {"WAYLAND_SOCKET", ""}}, "",
      runtime_ / "weston.log");
  const std::string socket_path = runtime_ / socket_name_;
  // Ready once a client gets through; a compositor that died on start-up ends the wait (log() tells why).
  wait_until([&] { return !weston_->running() || (ready_ = can_connect(socket_path)); },
             std::chrono::seconds(20), std::chrono::milliseconds(20));
}

HeadlessCompositor::~HeadlessCompositor() {
  weston_->stop(SIGTERM, 5000);  // and killed by its destructor if it is still running
}

EnvList HeadlessCompositor::client_env() const {
  return {{"XDG_RUNTIME_DIR", runtime_.path()}, {"WAYLAND_DISPLAY", socket_name_}, {"QT_QPA_PLATFORM", "wayland"}};
}

std::string HeadlessCompositor::log() const {
  return util::read_file(runtime_ / "weston.log");
}
