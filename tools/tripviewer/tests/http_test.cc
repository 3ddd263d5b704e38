// The viewer over HTTP, as a real process serving a tree the real recorder wrote (recorded once
// per test run by record_tree.py): the listing, the files with their byte ranges, the subtitles
// as WebVTT, refused paths, missing trips.

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "common/util.h"
#include "tests/support/ffprobe.h"
#include "tests/support/files.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"
#include "tools/tripviewer/tests/viewer_harness.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::string stem(const std::string &file) {
  return file.substr(0, file.rfind('.'));
}

class ViewerHttp : public ::testing::Test {
 protected:
  void SetUp() override {
    trips_ = list_dir(TRIP_TREE);
    ASSERT_EQ(trips_.size(), 2u) << "the recorded tree is missing: " << TRIP_TREE;
    viewer_ = std::make_unique<ViewerProcess>(TRIP_TREE, tmp_ / "viewer.out");
    ASSERT_GT(viewer_->port(), 0) << viewer_->process().output();
  }
  void TearDown() override {
    if (viewer_) {
      EXPECT_EQ(viewer_->process().stop(SIGTERM, 10000), 0) << viewer_->process().output();
    }
  }

  std::string route_trip() const { return trips_[0]; }  // the older one, with GPS and two segments
  std::string path(const std::string &trip, const std::string &file = "") const {
    return std::string(TRIP_TREE) + "/" + trip + (file.empty() ? "" : "/" + file);
  }

  TestDir tmp_;
  std::vector<std::string> trips_;
  std::unique_ptr<ViewerProcess> viewer_;
};

}  // namespace

TEST_F(ViewerHttp, ListsTheRecordedTripsNewestFirstWithTheirFigures) {
  const HttpResponse r = viewer_->get("/api/trips");
  ASSERT_EQ(r.status, 200);
  EXPECT_EQ(r.header("content-type"), "application/json");
  const json j = json::parse(r.body);
  EXPECT_TRUE(j["readable"].get<bool>());
  EXPECT_GT(j["free_bytes"].get<uint64_t>(), 0u);
  EXPECT_LE(j["free_bytes"].get<uint64_t>(), j["total_bytes"].get<uint64_t>());
  ASSERT_EQ(j["trips"].size(), trips_.size());

  for (size_t i = 0; i < trips_.size(); i++) {
    const json &t = j["trips"][i];
    const std::string name = trips_[trips_.size() - 1 - i];  // newest first
    ASSERT_EQ(t["name"], name);
    // The figures, counted here straight from the files.
    uint64_t bytes = 0;
    size_t entries = 0, fixes = 0;
    int top = -1;
    for (const std::string &f : list_dir(path(name))) bytes += fs::file_size(path(name, f));
    for (const std::string &srt : list_dir(path(name), ".srt")) {
      const std::string text = util::read_file(path(name, srt));
      entries += count_occurrences(text, " --> ");
      const std::regex mph(R"(\n(\d+) MPH \| )");
      for (auto it = std::sregex_iterator(text.begin(), text.end(), mph); it != std::sregex_iterator();
           ++it) {
        fixes++;
        top = std::max(top, std::stoi((*it)[1]));
      }
    }
    EXPECT_EQ(t["segments"].get<size_t>(), list_dir(path(name), ".mp4").size()) << name;
    EXPECT_EQ(t["bytes"].get<uint64_t>(), bytes) << name;
    EXPECT_DOUBLE_EQ(t["seconds"].get<double>(), (double)entries) << name;
    EXPECT_EQ(t["fixes"].get<size_t>(), fixes) << name;
    EXPECT_EQ(t["top_mph"], top >= 0 ? json(top) : json(nullptr)) << name;
    EXPECT_FALSE(t["recording"].get<bool>()) << name;
    EXPECT_EQ(t["start"], name.substr(0, 4) + "-" + name.substr(4, 2) + "-" + name.substr(6, 2) + " " +
                              name.substr(9, 2) + ":" + name.substr(11, 2) + ":" + name.substr(13, 2));
  }
  EXPECT_GT(j["trips"][1]["distance_m"].get<double>(), 100);  // the route trip moved
  EXPECT_EQ(j["trips"][0]["distance_m"].get<double>(), 0);

  // The page lists the same trips in the same order, with the free space.
  const HttpResponse page = viewer_->get("/");
  ASSERT_EQ(page.status, 200);
  EXPECT_EQ(page.header("content-type"), "text/html; charset=utf-8");
  const size_t newest = page.body.find("href=\"/trips/" + trips_[1] + "\"");
  const size_t oldest = page.body.find("href=\"/trips/" + trips_[0] + "\"");
  ASSERT_NE(newest, std::string::npos);
  ASSERT_NE(oldest, std::string::npos);
  EXPECT_LT(newest, oldest);
  EXPECT_NE(page.body.find("Free space: <b>"), std::string::npos);
}

TEST_F(ViewerHttp, SegmentFilesWithByteRangesHeadAndTypes) {
  const std::string trip = route_trip();
  const std::string mp4 = list_dir(path(trip), ".mp4").at(0);
  const std::string file = util::read_file(path(trip, mp4));
  const uint64_t n = file.size();
  ASSERT_GT(n, 1000u);
  const std::string url = "/trips/" + trip + "/" + mp4;

  const HttpResponse head = http_request(viewer_->port(), url, "HEAD");
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.header("content-length"), std::to_string(n));
  EXPECT_EQ(head.header("content-type"), "video/mp4");
  EXPECT_EQ(head.header("accept-ranges"), "bytes");
  EXPECT_TRUE(head.body.empty());

  const HttpResponse whole = viewer_->get(url);
  EXPECT_EQ(whole.status, 200);
  EXPECT_TRUE(whole.body == file) << "served " << whole.body.size() << " of " << n << " bytes";

  const struct {
    std::string range;
    int status;
    uint64_t first, last;  // the bytes expected, inclusive
  } cases[] = {
      {"bytes=100-199", 206, 100, 199},
      {"bytes=0-0", 206, 0, 0},
      {"bytes=-500", 206, n - 500, n - 1},
      {"bytes=" + std::to_string(n - 10) + "-", 206, n - 10, n - 1},
      {"bytes=" + std::to_string(n - 10) + "-" + std::to_string(n + 5000), 206, n - 10, n - 1},
      {"bytes=0-", 206, 0, n - 1},
      {"bytes=" + std::to_string(n) + "-", 416, 0, 0},
      {"bytes=" + std::to_string(n + 1000) + "-" + std::to_string(n + 2000), 416, 0, 0},
      {"bytes=0-1,5-6", 200, 0, n - 1},  // several ranges: the whole file
  };
  for (const auto &c : cases) {
    const HttpResponse r = viewer_->get(url, "Range: " + c.range + "\r\n");
    ASSERT_EQ(r.status, c.status) << c.range;
    if (c.status == 416) {
      EXPECT_EQ(r.header("content-range"), "bytes */" + std::to_string(n)) << c.range;
      EXPECT_TRUE(r.body.empty()) << c.range;
      continue;
    }
    const std::string want = file.substr(c.first, c.last - c.first + 1);
    EXPECT_TRUE(r.body == want) << c.range << ": " << r.body.size() << " bytes, expected " << want.size();
    EXPECT_EQ(r.header("content-length"), std::to_string(want.size())) << c.range;
    if (c.status == 206) {
      EXPECT_EQ(r.header("content-range"),
                "bytes " + std::to_string(c.first) + "-" + std::to_string(c.last) + "/" + std::to_string(n))
          << c.range;
    }
  }
  // A range on anything else is answered whole.
  const HttpResponse page = viewer_->get("/", "Range: bytes=100000-200000\r\n");
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("</html>"), std::string::npos);

  const std::string srt = stem(mp4) + ".srt";
  const HttpResponse s = viewer_->get("/trips/" + trip + "/" + srt);
  EXPECT_EQ(s.status, 200);
  EXPECT_TRUE(s.body == util::read_file(path(trip, srt)));
  EXPECT_EQ(s.header("content-type"), "application/x-subrip; charset=utf-8");
  EXPECT_NE(s.header("content-disposition").find("attachment"), std::string::npos);

  const struct {
    std::string url, type;
  } types[] = {
      {"/trips/" + trip + "/" + stem(mp4) + ".vtt", "text/vtt; charset=utf-8"},
      {"/trips/" + trip, "text/html; charset=utf-8"},
      {"/api/trips/" + trip, "application/json"},
      {"/static/viewer.css", "text/css; charset=utf-8"},
      {"/static/trip.js", "text/javascript; charset=utf-8"},
  };
  for (const auto &t : types) {
    const HttpResponse r = viewer_->get(t.url);
    EXPECT_EQ(r.status, 200) << t.url;
    EXPECT_EQ(r.header("content-type"), t.type) << t.url;
    EXPECT_EQ(r.header("x-content-type-options"), "nosniff") << t.url;
    EXPECT_FALSE(r.body.empty()) << t.url;
  }
}

// FFmpeg reads the served WebVTT as the same cues, times and texts as the recorder's SRT.
TEST_F(ViewerHttp, SubtitlesAsWebVttReadLikeTheRecordersSrt) {
  const std::string trip = route_trip();
  const std::vector<std::string> srts = list_dir(path(trip), ".srt");
  ASSERT_EQ(srts.size(), 2u);
  for (const std::string &srt : srts) {
    const HttpResponse r = viewer_->get("/trips/" + trip + "/" + stem(srt) + ".vtt");
    ASSERT_EQ(r.status, 200) << srt;
    EXPECT_EQ(r.body.rfind("WEBVTT\n\n", 0), 0u) << srt;
    const std::string vtt = tmp_ / (stem(srt) + ".vtt");
    std::ofstream(vtt, std::ios::binary) << r.body;
    auto as_srt = [](const std::string &in) {
      const RunResult r =
          run_program({ffmpeg_program(), "-nostdin", "-v", "error", "-i", in, "-f", "srt", "-"});
      return r.out + r.err;
    };
    const std::string from_vtt = as_srt(vtt), from_srt = as_srt(path(trip, srt));
    EXPECT_GT(count_occurrences(from_srt, " --> "), 3) << from_srt;
    EXPECT_EQ(from_vtt, from_srt) << srt;
  }
}

TEST_F(ViewerHttp, MissingTripsAndSegmentsGetClearPages) {
  const std::string trip = route_trip(), no_gps = trips_[1];
  const struct {
    std::string target;
    int status;
    std::string says;
  } cases[] = {
      {"/trips/20000101-000000", 404, "There is no trip"},
      {"/trips/not-a-trip", 404, "There is no trip"},
      {"/trips/" + trip + "/20000101-000000.mp4", 404, "has no segment file"},
      {"/trips/" + trip + "/20000101-000000.vtt", 404, "has no subtitles"},
      {"/trips/" + trip + "/20000101-000000.avi", 404, "nothing at this address"},
      {"/nowhere", 404, "nothing at this address"},
      {"/api/trips/20000101-000000", 404, "no such trip"},
      {"/trips/" + no_gps, 200, "id=\"no-gps\""},
      {"/trips/" + trip, 200, "<polyline class=\"stretch\""},
  };
  for (const auto &c : cases) {
    const HttpResponse r = viewer_->get(c.target);
    EXPECT_EQ(r.status, c.status) << c.target;
    EXPECT_NE(r.body.find(c.says), std::string::npos) << c.target << ":\n" << r.body;
  }
  // The trip without GPS still plays.
  const HttpResponse page = viewer_->get("/trips/" + no_gps);
  EXPECT_NE(page.body.find("<video id=\"player\""), std::string::npos);
  EXPECT_EQ(page.body.find("<svg id=\"route\""), std::string::npos);
}

TEST_F(ViewerHttp, OnlyReadsAndRefusesOversizedOrForeignRequests) {
  const HttpResponse post = http_request(viewer_->port(), "/", "POST", "Content-Length: 5\r\n\r\nhello");
  EXPECT_EQ(post.status, 405);
  EXPECT_EQ(post.header("allow"), "GET, HEAD");
  for (const char *method : {"PUT", "DELETE", "OPTIONS"}) {
    EXPECT_EQ(http_request(viewer_->port(), "/", method).status, 405) << method;
  }
  EXPECT_EQ(viewer_->get("/" + std::string(20000, 'a')).status, 414);
  const HttpResponse big_header = viewer_->get("/", "X-Filler: " + std::string(20000, 'b') + "\r\n");
  EXPECT_GE(big_header.status, 400);
  EXPECT_LT(big_header.status, 500);
  // A page elsewhere that points its own name at this address gets nothing.
  const HttpResponse foreign =
      http_request(viewer_->port(), "/api/trips", "GET", "", "attacker.example:8090");
  EXPECT_EQ(foreign.status, 403);
  EXPECT_EQ(foreign.body.find(trips_[0]), std::string::npos);
  for (const char *host : {"localhost:8090", "127.0.0.1", "[::1]:8090"}) {
    EXPECT_EQ(http_request(viewer_->port(), "/api/trips", "GET", "", host).status, 200) << host;
  }
}

// Paths that try to leave the videos directory, in every spelling, and links that lead out of it.
TEST(ViewerPaths, EveryTraversalFormIsRefused) {
  TestDir dir;
  const std::string secret = "secret-" + util::random_string(12);
  const std::string videos = dir / "videos", outside = dir / "outside";
  const std::string trip = list_dir(TRIP_TREE).at(0);  // throws when the tree is missing
  fs::create_directories(outside);
  fs::create_directories(videos);
  std::ofstream(dir / "secret.txt") << secret;
  std::ofstream(outside + "/20240101-000000.mp4") << secret;
  std::ofstream(outside + "/20240101-000000.srt") << "1\n00:00:00,000 --> 00:00:01,000\n" << secret << "\n\n";
  fs::copy(std::string(TRIP_TREE) + "/" + trip, videos + "/" + trip, fs::copy_options::recursive);
  // A trip directory that is a link out, and segment files that are links out.
  fs::create_directory_symlink(outside, videos + "/20240101-000000");
  fs::create_symlink(dir / "secret.txt", videos + "/" + trip + "/20240101-000001.mp4");
  fs::create_symlink(dir / "secret.txt", videos + "/" + trip + "/20240101-000001.srt");

  ViewerProcess viewer(videos, dir / "viewer.out");
  ASSERT_GT(viewer.port(), 0) << viewer.process().output();
  const std::string t = "/trips/" + trip;
  const char *const targets[] = {
      "/trips/../secret.txt",
      "/trips/../../secret.txt",
      "/trips/%2e%2e/secret.txt",
      "/trips/..%2fsecret.txt",
      "/trips/%2e%2e%2f%2e%2e%2fsecret.txt",
      "/trips/%252e%252e/secret.txt",
      "/trips/..%5csecret.txt",
      "/../secret.txt",
      "/static/../../secret.txt",
      "//etc/passwd",
      "/trips//etc/passwd",
      "/trips/%2fetc%2fpasswd",
      "/api/trips/..",
      "/api/trips/%2e%2e%2f",
      "/trips/20240101-000000",
      "/api/trips/20240101-000000",
      "/trips/20240101-000000/20240101-000000.mp4",
      "/trips/20240101-000000/20240101-000000.vtt",
  };
  const std::string in_trip[] = {
      t + "/20240101-000001.mp4",  t + "/20240101-000001.srt",      t + "/20240101-000001.vtt",
      t + "/..%2f..%2fsecret.txt", t + "/%2e%2e/%2e%2e/secret.txt", t + "/20240101-000001.mp4%00.mp4",
      t + "/..%00/secret.mp4",     t + "/../../secret.txt",
  };
  std::vector<std::string> all(std::begin(targets), std::end(targets));
  all.insert(all.end(), std::begin(in_trip), std::end(in_trip));
  for (const std::string &target : all) {
    const HttpResponse r = viewer.get(target);
    EXPECT_TRUE(r.status == 404 || r.status == 400) << target << ": " << r.status;
    EXPECT_EQ(r.body.find(secret), std::string::npos) << target;
    EXPECT_EQ(r.body.find("root:"), std::string::npos) << target;
  }
  // Nor do the links show in the listing.
  const json j = json::parse(viewer.get("/api/trips").body);
  ASSERT_EQ(j["trips"].size(), 1u);
  EXPECT_EQ(j["trips"][0]["name"], trip);
  const json one = json::parse(viewer.get("/api/trips/" + trip).body);
  for (const json &s : one["segments"]) EXPECT_NE(s["name"], "20240101-000001");
  EXPECT_EQ(viewer.process().stop(SIGTERM, 10000), 0);
}

// The command line: help on standard output with status 0, a mistake named with status 2.
TEST(ViewerCommandLine, HelpAndMistakes) {
  const struct {
    const char *args;
    int status;
    const char *says;
  } cases[] = {
      {"--help", 0, "--max-connections N  connections served at once"},
      {"-h", 0, "usage: tripviewer"},
      {"--bogus", 2, "tripviewer: unknown argument --bogus"},
      {"--port 70000", 2, "tripviewer: bad value for --port: 70000"},
      {"--videos", 2, "tripviewer: missing value for --videos"},
  };
  for (const auto &c : cases) {
    // Bounded: a viewer that took the arguments and started serving is killed, and fails.
    const RunResult r = run_command(std::string(TRIPVIEWER) + " " + c.args + " 2>&1");
    ASSERT_TRUE(r.exited) << c.args;
    EXPECT_EQ(r.status, c.status) << c.args;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << c.args << ": " << r.out;
  }
}
