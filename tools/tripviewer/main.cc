// tripviewer: web pages to browse, play and check the recorder's trips. Serves the videos
// directory read-only over HTTP; needs no other process.
//
// Usage: tripviewer [--help] [--videos DIR] [--address ADDR] [--port PORT] [--max-connections N]
//                   [--allow-host NAME]...
//   --videos DIR         the recorder's trip directories (default: $ROADRECD_VIDEOS_DIR, else
//                        /data/media/0/videos)
//   --address ADDR       address to listen on (default 127.0.0.1: this machine only)
//   --port PORT          TCP port (default 8090; 0 takes any free port)
//   --max-connections N  connections served at once (default 8); as many more wait their turn
//   --allow-host NAME    a further name the viewer may be reached by (besides addresses,
//                        localhost and this machine's name)
// Prints "tripviewer: serving <dir> at http://<address>:<port>/" once it listens. Ends on SIGINT
// or SIGTERM with status 0; a bad command line gives status 2, an address it cannot take 1.

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "tools/tripviewer/viewer_server.h"

namespace {

constexpr const char *DEFAULT_VIDEOS_DIR = "/data/media/0/videos";

constexpr const char *USAGE =
    "usage: tripviewer [--videos DIR] [--address ADDR] [--port PORT] [--max-connections N]\n"
    "                  [--allow-host NAME]...\n";

[[noreturn]] void usage(const std::string &why) {
  fprintf(stderr, "tripviewer: %s\n%s", why.c_str(), USAGE);
  exit(2);
}

[[noreturn]] void help() {
  printf("tripviewer: web pages to browse, play and check the recorder's trips, served read-only\n"
         "over HTTP from the videos directory.\n\n%s"
         "  --videos DIR         the recorder's trip directories (default: $ROADRECD_VIDEOS_DIR, else\n"
         "                       %s)\n"
         "  --address ADDR       address to listen on (default 127.0.0.1: this machine only)\n"
         "  --port PORT          TCP port (default 8090; 0 takes any free port)\n"
         "  --max-connections N  connections served at once (default 8); as many more wait their turn\n"
         "  --allow-host NAME    a further name the viewer may be reached by (besides addresses,\n"
         "                       localhost and this machine's name)\n"
         "Ends on SIGINT or SIGTERM.\n",
         USAGE, DEFAULT_VIDEOS_DIR);
  exit(0);
}

int parse_int(const std::string &option, const char *text, int min, int max) {
  char *end = nullptr;
  const long v = strtol(text, &end, 10);
  if (!*text || *end || v < min || v > max) usage("bad value for " + option + ": " + text);
  return (int)v;
}

ViewerOptions parse_options(int argc, char *argv[]) {
  ViewerOptions o;
  const char *env_dir = getenv("ROADRECD_VIDEOS_DIR");
  o.videos_dir = env_dir && *env_dir ? env_dir : DEFAULT_VIDEOS_DIR;
  for (int i = 1; i < argc; i++) {
    const std::string a = argv[i];
    auto value = [&]() -> const char * {
      if (i + 1 >= argc) usage("missing value for " + a);
      return argv[++i];
    };
    if (a == "--help" || a == "-h")
      help();
    else if (a == "--videos")
      o.videos_dir = value();
    else if (a == "--address")
      o.address = value();
    else if (a == "--port")
      o.port = parse_int(a, value(), 0, 65535);
    else if (a == "--max-connections")
      o.max_connections = parse_int(a, value(), 1, 1024);
    else if (a == "--allow-host")
      o.allowed_hosts.push_back(value());
    else
      usage("unknown argument " + a);
  }
  return o;
}

}  // namespace

int main(int argc, char *argv[]) {
  const ViewerOptions options = parse_options(argc, argv);

  // Every thread started from here on has the exit signals blocked; one thread waits for them.
  sigset_t exit_signals;
  sigemptyset(&exit_signals);
  sigaddset(&exit_signals, SIGINT);
  sigaddset(&exit_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &exit_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a client that goes away mid-response is no reason to end

  ViewerServer server(options);
  std::string error;
  if (!server.bind(error)) {
    fprintf(stderr, "tripviewer: %s\n", error.c_str());
    return 1;
  }
  printf("tripviewer: serving %s at http://%s:%d/\n", options.videos_dir.c_str(), options.address.c_str(),
         server.port());
  fflush(stdout);

  std::atomic<bool> served{false};
  std::thread signal_waiter([&] {
    int sig;
    sigwait(&exit_signals, &sig);
    // A signal can come before the server has started listening, when stopping it does
    // nothing yet: ask again until it has ended.
    while (!served) {
      server.stop();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  const bool ok = server.serve();
  served = true;
  if (!ok) {
    fprintf(stderr, "tripviewer: listening failed\n");
    kill(getpid(), SIGTERM);  // wakes the waiter, so it can be joined
  }
  signal_waiter.join();
  return ok ? 0 : 1;
}
