#include "tests/support/nv12_pictures.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>

#include "tests/support/child_process.h"
#include "tests/support/ffprobe.h"
#include "tests/support/wait.h"

bool for_each_nv12_frame(const std::string &file, int width, int height,
                         const std::function<bool(int, const std::vector<uint8_t> &)> &fn,
                         const std::string &filter, std::chrono::milliseconds timeout) {
  std::vector<std::string> argv = {ffmpeg_program(), "-nostdin", "-v", "error", "-i", file};
  if (!filter.empty()) argv.insert(argv.end(), {"-vf", filter});
  argv.insert(argv.end(), {"-f", "rawvideo", "-pix_fmt", "nv12", "-"});
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return false;
  const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  const pid_t pid = spawn_program(argv, {}, true, "", -1, out[1], null_fd);
  close(out[1]);
  if (null_fd >= 0) close(null_fd);
  if (pid < 0) {
    close(out[0]);
    return false;
  }

  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::vector<uint8_t> picture((size_t)width * height + (size_t)width * (height / 2));
  size_t filled = 0;
  bool stopped = false, ended = false;
  for (int index = 0; !stopped && !ended && ms_until(deadline) > 0;) {
    pollfd p = {out[0], POLLIN, 0};
    const int n = poll(&p, 1, ms_until(deadline));
    if (n < 0 && errno != EINTR) break;
    if (n <= 0) continue;
    const ssize_t got = read(out[0], picture.data() + filled, picture.size() - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ended = true;
      break;
    }
    filled += (size_t)got;
    if (filled == picture.size()) {
      filled = 0;
      stopped = !fn(index++, picture);
    }
  }
  close(out[0]);
  // ffmpeg ends by itself once its output is closed; a hung one is killed at the deadline.
  const std::optional<int> status =
      wait_child_status(pid, std::chrono::milliseconds(std::max(ms_until(deadline), 1000)));
  if (stopped) return true;
  return ended && filled == 0 && status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

std::vector<std::vector<uint8_t>> decode_nv12(const std::string &file, int width, int height) {
  std::vector<std::vector<uint8_t>> frames;
  const bool whole = for_each_nv12_frame(file, width, height, [&](int, const std::vector<uint8_t> &picture) {
    frames.push_back(picture);
    return true;
  });
  if (!whole) frames.clear();
  return frames;
}

double psnr(const uint8_t *a, const uint8_t *b, size_t n) {
  double sum = 0;
  for (size_t i = 0; i < n; i++) {
    const double d = (double)a[i] - b[i];
    sum += d * d;
  }
  if (sum == 0) return 99.0;
  return 10.0 * std::log10(255.0 * 255.0 * n / sum);
}
