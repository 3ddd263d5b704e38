// The trip viewer, as a real process on a synthetic tree of 200 trips:
// - serving a 50 MB segment to a local client, against reading the same file as `cat FILE >
//   /dev/null` does, interleaved in one run;
// - the trip list page: time to first byte from a freshly started viewer (cold: nothing derived
//   yet, the files in the page cache) and from one that has served it before (warm), against a
//   tiny static reply of the same server.
//
// Usage: tripviewer_bench [dir] [rounds]   (dir defaults to a fresh directory under $TMPDIR or /tmp)

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int TRIPS = 200, SEGMENTS_PER_TRIP = 3, ENTRIES_PER_SEGMENT = 180;
constexpr size_t BIG_SEGMENT_BYTES = 50 * 1000 * 1000;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void write_file(const std::string &path, const std::string &data) {
  FILE *f = fopen(path.c_str(), "wb");
  if (!f || fwrite(data.data(), 1, data.size(), f) != data.size() || fclose(f) != 0) {
    perror(path.c_str());
    exit(1);
  }
}

std::string stamp(time_t t) {
  struct tm tm;
  gmtime_r(&t, &tm);
  char buf[32];
  strftime(buf, sizeof(buf), "%Y%m%d-%H%M%S", &tm);
  return buf;
}

// A segment's subtitles as the recorder writes them: one entry a second, moving north-east.
std::string subtitles(double lat, double lon) {
  std::string out;
  char buf[256];
  for (int i = 0; i < ENTRIES_PER_SEGMENT; i++) {
    snprintf(buf, sizeof(buf),
             "%d\n00:%02d:%02d,000 --> 00:%02d:%02d,000\n%d MPH | %.4f\xc2\xb0N %.4f\xc2\xb0W | 2024-05-01 08:00:00 UTC\n\n",
             i + 1, i / 60, i % 60, (i + 1) / 60, (i + 1) % 60, 20 + i % 15, lat + i * 1e-4, std::fabs(lon) - i * 1e-4);
    out += buf;
  }
  return out;
}

// The tree; returns the path of the big segment.
std::string make_tree(const std::string &videos) {
  std::mt19937 rng(1);
  std::string big(BIG_SEGMENT_BYTES, '\0');
  for (auto &c : big) c = (char)rng();
  const std::string small(64 * 1024, 'v');
  const time_t start = 1714550400;  // 2024-05-01 08:00:00
  std::string big_path;
  for (int t = 0; t < TRIPS; t++) {
    const time_t trip_start = start + t * 3600;
    const std::string trip_dir = videos + "/" + stamp(trip_start);
    std::filesystem::create_directories(trip_dir);
    for (int s = 0; s < SEGMENTS_PER_TRIP; s++) {
      const std::string seg = trip_dir + "/" + stamp(trip_start + s * ENTRIES_PER_SEGMENT);
      write_file(seg + ".srt", subtitles(37.7 + t * 1e-3, -122.4 + s * 1e-2));
      if (t == 0 && s == 0) {
        big_path = seg + ".mp4";
        write_file(big_path, big);
      } else {
        write_file(seg + ".mp4", small);
      }
    }
  }
  return big_path;
}

class Viewer {
 public:
  explicit Viewer(const std::string &videos) {
    int out[2];
    if (pipe(out) != 0) exit(1);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      execl(TRIPVIEWER, TRIPVIEWER, "--videos", videos.c_str(), "--port", "0", (char *)nullptr);
      _exit(127);
    }
    close(out[1]);
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);
    const size_t colon = line.rfind(':');
    port_ = colon == std::string::npos ? -1 : atoi(line.c_str() + colon + 1);
    if (port_ <= 0) {
      fprintf(stderr, "tripviewer did not start: %s\n", line.c_str());
      exit(1);
    }
  }
  ~Viewer() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  int port() const { return port_; }

 private:
  pid_t pid_;
  int port_ = -1;
};

struct Fetch {
  double first_byte_s = 0, total_s = 0;
  size_t bytes = 0;  // of the whole response
};

Fetch fetch(int port, const std::string &target) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons((uint16_t)port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, (struct sockaddr *)&addr, sizeof(addr)) != 0) {
    perror("connect");
    exit(1);
  }
  const std::string req = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  static std::vector<char> buf(1 << 20);
  Fetch f;
  const auto t0 = Clock::now();
  if (send(fd, req.data(), req.size(), 0) != (ssize_t)req.size()) exit(1);
  ssize_t n;
  while ((n = recv(fd, buf.data(), buf.size(), 0)) > 0) {
    if (f.bytes == 0) f.first_byte_s = seconds_since(t0);
    f.bytes += (size_t)n;
  }
  f.total_s = seconds_since(t0);
  close(fd);
  return f;
}

double cat_read_s(const std::string &path) {
  static std::vector<char> buf(128 * 1024);  // cat's buffer
  const auto t0 = Clock::now();
  int fd = open(path.c_str(), O_RDONLY);
  size_t total = 0;
  ssize_t n;
  while ((n = read(fd, buf.data(), buf.size())) > 0) total += (size_t)n;
  close(fd);
  if (total != BIG_SEGMENT_BYTES) exit(1);
  return seconds_since(t0);
}

}  // namespace

int main(int argc, char **argv) {
  const std::string parent = argc > 1 ? argv[1] : (getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp");
  const int rounds = argc > 2 ? atoi(argv[2]) : 7;
  std::string tmpl = parent + "/tripviewer_bench_XXXXXX";
  if (!mkdtemp(tmpl.data())) {
    perror("mkdtemp");
    return 1;
  }
  const std::string videos = tmpl + "/videos";
  const std::string big = make_tree(videos);
  const std::string big_url = "/trips/" + std::filesystem::path(big).parent_path().filename().string() + "/" +
                              std::filesystem::path(big).filename().string();
  printf("tripviewer bench: %d trips x %d segments (%d subtitle entries each), one %zu MB segment, %d rounds, in %s\n",
         TRIPS, SEGMENTS_PER_TRIP, ENTRIES_PER_SEGMENT, BIG_SEGMENT_BYTES / 1000000, rounds, tmpl.c_str());

  // Cold: a fresh viewer for every sample.
  std::vector<double> cold_ms;
  for (int i = 0; i < rounds; i++) {
    Viewer v(videos);
    cold_ms.push_back(fetch(v.port(), "/").first_byte_s * 1000);
  }

  Viewer v(videos);
  std::vector<double> serve_mbs, cat_mbs, warm_ms, static_ms;
  fetch(v.port(), big_url);  // page cache and server warm for both readers
  cat_read_s(big);
  for (int i = 0; i < rounds; i++) {
    const Fetch f = fetch(v.port(), big_url);
    if (f.bytes < BIG_SEGMENT_BYTES) {
      fprintf(stderr, "short response: %zu bytes\n", f.bytes);
      return 1;
    }
    serve_mbs.push_back(BIG_SEGMENT_BYTES / f.total_s / 1e6);
    cat_mbs.push_back(BIG_SEGMENT_BYTES / cat_read_s(big) / 1e6);
  }
  fetch(v.port(), "/");
  for (int i = 0; i < 4 * rounds; i++) {
    warm_ms.push_back(fetch(v.port(), "/").first_byte_s * 1000);
    static_ms.push_back(fetch(v.port(), "/static/viewer.css").first_byte_s * 1000);
  }

  const double serve = median(serve_mbs), cat = median(cat_mbs);
  printf("%-40s %9.0f MB/s\n", "serve the 50 MB segment over HTTP", serve);
  printf("%-40s %9.0f MB/s\n", "read it as cat does (baseline)", cat);
  printf("%-40s %9.2f\n", "ratio served / read", serve / cat);
  const double cold = median(cold_ms), warm = median(warm_ms), stat = median(static_ms);
  printf("%-40s %9.2f ms\n", "trip list, first byte, cold", cold);
  printf("%-40s %9.2f ms\n", "trip list, first byte, warm", warm);
  printf("%-40s %9.2f ms\n", "static file, first byte (baseline)", stat);
  printf("%-40s %9.1f   warm / static %.1f   cold / warm %.1f\n", "ratio cold / static", cold / stat, warm / stat,
         cold / warm);

  std::error_code ec;
  std::filesystem::remove_all(tmpl, ec);
  return 0;
}
