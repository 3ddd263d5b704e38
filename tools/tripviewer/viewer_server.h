#pragma once

// The viewer's HTTP server: pages, JSON and the recorder's files, read-only, answering GET and
// HEAD only.
//
//   /                                  the trip list          /api/trips          the same as JSON
//   /trips/<trip>                      a trip and its player  /api/trips/<trip>   the same as JSON
//   /trips/<trip>/<segment>.mp4|.srt   a finished segment's files, with byte ranges
//   /trips/<trip>/<segment>.vtt        its subtitles as WebVTT
//   /static/viewer.css, /static/trip.js

#include <httplib.h>

#include <atomic>
#include <string>
#include <vector>

#include "tools/tripviewer/trip_store.h"

struct ViewerOptions {
  std::string videos_dir;
  std::string address = "127.0.0.1";
  int port = 8090;                         // 0: any free port
  int max_connections = 8;                 // served at once; as many more wait their turn
  std::vector<std::string> allowed_hosts;  // names besides localhost and this machine's own
};

class ViewerServer {
 public:
  explicit ViewerServer(ViewerOptions options);
  ViewerServer(const ViewerServer &) = delete;
  ViewerServer &operator=(const ViewerServer &) = delete;

  // Takes the address; false with `error` set when it cannot.
  bool bind(std::string &error);
  int port() const { return port_; }
  // Serves until stop(); false when listening failed.
  bool serve();
  // Safe from any thread: ends serve() and cuts downloads short.
  void stop();

 private:
  void add_routes();
  httplib::Server::HandlerResponse check_request(const httplib::Request &req, httplib::Response &res);
  void serve_segment_file(const httplib::Request &req, httplib::Response &res);
  void serve_subtitles_as_webvtt(const std::string &trip, const std::string &segment, httplib::Response &res);
  bool host_allowed(const std::string &host_header) const;

  ViewerOptions options_;
  TripStore store_;
  httplib::Server http_;
  int port_ = -1;
  std::atomic<bool> stopping_{false};
};
