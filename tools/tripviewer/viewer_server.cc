#include "tools/tripviewer/viewer_server.h"

#include <arpa/inet.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "tools/tripviewer/bounded_task_queue.h"
#include "tools/tripviewer/byte_range.h"
#include "tools/tripviewer/pages.h"
#include "tools/tripviewer/subtitles.h"
#include "tools/tripviewer/trip_json.h"
#include "tools/tripviewer/web_assets.h"

namespace {

constexpr const char *HTML = "text/html; charset=utf-8";
constexpr const char *JSON = "application/json";
constexpr size_t CHUNK_BYTES = 256 * 1024;
// Only GET and HEAD are answered, so a request has no body worth reading.
constexpr size_t MAX_BODY_BYTES = 1024;
constexpr time_t KEEP_ALIVE_S = 2, READ_TIMEOUT_S = 5, WRITE_TIMEOUT_S = 10;
constexpr size_t KEEP_ALIVE_REQUESTS = 100;

// Pages come from this server only: no inline script, nothing from elsewhere.
const char *const CONTENT_SECURITY_POLICY =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; media-src 'self'; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

void send_error(httplib::Response &res, int status, const std::string &title, const std::string &message) {
  res.status = status;
  res.set_content(error_page(status, title, message), HTML);
}

// A segment file that is not finished is refused, saying why; true when it was.
bool refuse_unfinished(FileStatus status, const std::string &segment, const char *what,
                       httplib::Response &res) {
  if (status == FileStatus::RECORDING) {
    send_error(res, 409, "Segment being recorded",
               "Segment \"" + segment + "\" is being recorded; its " + what +
                   " are offered once the recorder closes it.");
    return true;
  }
  if (status == FileStatus::INTERRUPTED) {
    send_error(res, 409, "Segment interrupted",
               "Segment \"" + segment + "\" was interrupted: the recorder writing it stopped; its " + what +
                   " are offered once the recorder's next start has recovered it.");
    return true;
  }
  return false;
}

std::string status_title(int status) {
  switch (status) {
    case 400:
      return "Bad request";
    case 403:
      return "Forbidden";
    case 404:
      return "Not found";
    case 405:
      return "Method not allowed";
    case 413:
      return "Request too large";
    case 414:
      return "Address too long";
    default:
      return "Error " + std::to_string(status);
  }
}

// The name part of a Host header ("[::1]:8090" gives "[::1]", "viewer:8090" gives "viewer").
std::string host_name(const std::string &host) {
  if (!host.empty() && host[0] == '[') return host.substr(0, host.find(']') + 1);
  return host.substr(0, host.find(':'));
}

}  // namespace

ViewerServer::ViewerServer(ViewerOptions options)
    : options_(std::move(options)), store_(options_.videos_dir) {
  const size_t workers = (size_t)std::max(1, options_.max_connections);
  http_.new_task_queue = [workers] { return new BoundedTaskQueue(workers, workers); };
  http_.set_keep_alive_timeout(KEEP_ALIVE_S);
  http_.set_keep_alive_max_count(KEEP_ALIVE_REQUESTS);
  http_.set_read_timeout(READ_TIMEOUT_S);
  http_.set_write_timeout(WRITE_TIMEOUT_S);
  http_.set_payload_max_length(MAX_BODY_BYTES);
  http_.set_default_headers({{"Content-Security-Policy", CONTENT_SECURITY_POLICY},
                             {"X-Content-Type-Options", "nosniff"},
                             {"Referrer-Policy", "no-referrer"},
                             {"Cache-Control", "no-cache"}});
  http_.set_pre_routing_handler(
      [this](const httplib::Request &req, httplib::Response &res) { return check_request(req, res); });
  // Statuses the library sets itself (a bad request line, too long a target) get a page too. A
  // 416 stays empty: its body would be cut by the range it refuses.
  http_.set_error_handler(
      httplib::Server::HandlerWithResponse([](const httplib::Request &, httplib::Response &res) {
        if (!res.body.empty() || res.status == 416) return httplib::Server::HandlerResponse::Unhandled;
        send_error(res, res.status, status_title(res.status),
                   res.status == 404 ? "There is nothing at this address." : "The request was not answered.");
        return httplib::Server::HandlerResponse::Handled;
      }));
  add_routes();
}

httplib::Server::HandlerResponse ViewerServer::check_request(const httplib::Request &req,
                                                             httplib::Response &res) {
  // The library cuts every response by the ranges it parsed, without holding them to the
  // content's length (a range past the end would read past it). Only a segment's file honours a
  // range, checked there against the file: everything else is answered whole. The request object
  // the handlers get as const is the server's own mutable one.
  const_cast<httplib::Request &>(req).ranges.clear();

  if (req.method != "GET" && req.method != "HEAD") {
    res.set_header("Allow", "GET, HEAD");
    send_error(res, 405, "Method not allowed", "This viewer only reads: it answers GET and HEAD.");
    return httplib::Server::HandlerResponse::Handled;
  }
  if (!host_allowed(req.get_header_value("Host"))) {
    send_error(
        res, 403, "Host not allowed",
        "This viewer answers to its own addresses only; start it with --allow-host NAME to reach it as "
        "NAME.");
    return httplib::Server::HandlerResponse::Handled;
  }
  return httplib::Server::HandlerResponse::Unhandled;
}

// A page of another site may point a name of its own at this machine's address; answering only
// to addresses and to names the owner gave keeps such a page from reading the trips.
bool ViewerServer::host_allowed(const std::string &host_header) const {
  if (host_header.empty()) return true;  // HTTP/1.0 sends none: no page in a browser does that
  const std::string name = host_name(host_header);
  if (name.size() > 2 && name.front() == '[' && name.back() == ']') {
    unsigned char addr[16];
    return inet_pton(AF_INET6, name.substr(1, name.size() - 2).c_str(), addr) == 1;
  }
  unsigned char addr4[4];
  if (inet_pton(AF_INET, name.c_str(), addr4) == 1) return true;
  char hostname[256] = {};
  gethostname(hostname, sizeof(hostname) - 1);
  std::vector<std::string> names = options_.allowed_hosts;
  names.insert(names.end(), {"localhost", hostname, std::string(hostname) + ".local"});
  return std::any_of(names.begin(), names.end(), [&](const std::string &n) {
    return !n.empty() && strcasecmp(n.c_str(), name.c_str()) == 0;
  });
}

void ViewerServer::add_routes() {
  http_.Get("/", [this](const httplib::Request &, httplib::Response &res) {
    res.set_content(trip_list_page(store_.list_trips(), store_.videos_dir()), HTML);
  });
  http_.Get("/api/trips", [this](const httplib::Request &, httplib::Response &res) {
    res.set_content(trip_list_json(store_.list_trips(), store_.videos_dir()), JSON);
  });
  http_.Get(R"(/api/trips/([^/]+))", [this](const httplib::Request &req, httplib::Response &res) {
    TripInfo trip;
    if (!store_.trip(req.matches[1], trip)) {
      res.status = 404;
      res.set_content(R"({"error":"no such trip"})", JSON);
      return;
    }
    res.set_content(trip_json(trip), JSON);
  });
  http_.Get(R"(/trips/([^/]+))", [this](const httplib::Request &req, httplib::Response &res) {
    TripInfo trip;
    if (!store_.trip(req.matches[1], trip)) {
      send_error(res, 404, "No such trip", "There is no trip \"" + std::string(req.matches[1]) + "\".");
      return;
    }
    res.set_content(trip_page(trip), HTML);
  });
  http_.Get(R"(/trips/([^/]+)/([^/]+)\.(mp4|srt|vtt))",
            [this](const httplib::Request &req, httplib::Response &res) { serve_segment_file(req, res); });
  http_.Get("/static/viewer.css", [](const httplib::Request &, httplib::Response &res) {
    res.set_content(VIEWER_CSS, "text/css; charset=utf-8");
  });
  http_.Get("/static/trip.js", [](const httplib::Request &, httplib::Response &res) {
    res.set_content(TRIP_JS, "text/javascript; charset=utf-8");
  });
}

void ViewerServer::serve_segment_file(const httplib::Request &req, httplib::Response &res) {
  const std::string trip = req.matches[1], segment = req.matches[2], ext = req.matches[3];
  if (ext == "vtt") {
    serve_subtitles_as_webvtt(trip, segment, res);
    return;
  }
  OpenedFile file = store_.open_segment_file(trip, segment, "." + ext);
  if (file.status == FileStatus::NOT_FOUND) {
    send_error(res, 404, "No such segment",
               "Trip \"" + trip + "\" has no segment file \"" + segment + "." + ext + "\".");
    return;
  }
  if (refuse_unfinished(file.status, segment, "files", res)) return;

  const ByteRange range = parse_byte_range(req.get_header_value("Range"), file.size);
  res.set_header("Accept-Ranges", "bytes");
  if (range.kind == ByteRange::UNSATISFIABLE) {
    res.status = 416;
    res.set_header("Content-Range", "bytes */" + std::to_string(file.size));
    return;
  }
  if (range.kind == ByteRange::PART) {
    // The one range, held to the file; the library sends it with its Content-Range.
    const_cast<httplib::Request &>(req).ranges = {{(ssize_t)range.first, (ssize_t)range.last}};
    res.status = 206;
  } else {
    res.status = 200;
  }
  if (ext == "srt") {
    res.set_header("Content-Disposition", "attachment; filename=\"" + trip + "_" + segment + ".srt\"");
  }
  auto fd = std::make_shared<UniqueFd>(std::move(file.fd));
  auto buf = std::make_shared<std::vector<char>>();
  const uint64_t size = file.size;
  res.set_content_provider(size, ext == "mp4" ? "video/mp4" : "application/x-subrip; charset=utf-8",
                           [this, fd, buf, size](size_t offset, size_t length, httplib::DataSink &sink) {
                             if (stopping_ || offset >= size) return false;
                             if (buf->empty()) buf->resize(CHUNK_BYTES);
                             const size_t want = std::min({length, buf->size(), (size_t)(size - offset)});
                             ssize_t n;
                             do {
                               n = pread(fd->get(), buf->data(), want, (off_t)offset);
                             } while (n < 0 && errno == EINTR);
                             // A finished segment does not change; one that got shorter ends the response.
                             return n > 0 && sink.write(buf->data(), (size_t)n);
                           });
}

void ViewerServer::serve_subtitles_as_webvtt(const std::string &trip, const std::string &segment,
                                             httplib::Response &res) {
  OpenedFile file = store_.open_segment_file(trip, segment, ".srt");
  std::string text;
  if (refuse_unfinished(file.status, segment, "subtitles", res)) return;
  if (file.status == FileStatus::NOT_FOUND ||
      !read_small_file(file.fd.get(), TripStore::MAX_SUBTITLE_BYTES, text)) {
    send_error(res, 404, "No such subtitles",
               "Trip \"" + trip + "\" has no subtitles for segment \"" + segment + "\".");
    return;
  }
  res.set_content(subtitles_to_webvtt(parse_subtitles(text)), "text/vtt; charset=utf-8");
}

bool ViewerServer::bind(std::string &error) {
  if (options_.port == 0) {
    port_ = http_.bind_to_any_port(options_.address);
  } else if (http_.bind_to_port(options_.address, options_.port)) {
    port_ = options_.port;
  }
  if (port_ < 0) {
    error = "cannot listen on " + options_.address + " port " + std::to_string(options_.port) + ": " +
            strerror(errno);
    return false;
  }
  return true;
}

bool ViewerServer::serve() {
  return http_.listen_after_bind();
}

void ViewerServer::stop() {
  stopping_ = true;
  http_.stop();
}
