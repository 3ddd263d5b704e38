// The GPS publisher as a process: against a real gpsd fed by gpsfake replaying an NMEA log
// written here, and against a fake gpsd that sends garbage and goes away.

#include <arpa/inet.h>
#include <poll.h>

#include <cmath>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "pc/tests/nmea_log.h"
#include "pc/tests/pc_test_support.h"
#include "pc/tests/topic_reader.h"

using namespace pc_test;

namespace {

constexpr double KNOTS = 0.514444;  // metres per second

struct Published {
  bool has_fix;
  double lat, lon, altitude;
  float speed, bearing, horizontal_accuracy;
  int64_t time_ms;
};

Published read_location(strand::Event::Reader e) {
  auto g = e.getGpsLocation();
  return {g.getHasFix(), g.getLatitude(),   g.getLongitude(),          g.getAltitude(),
          g.getSpeed(),  g.getBearingDeg(), g.getHorizontalAccuracy(), g.getUnixTimestampMillis()};
}

bool matches(const Published &p, const NmeaEpoch &e, int second) {
  return p.has_fix && std::fabs(p.lat - e.lat) < 2e-6 && std::fabs(p.lon - e.lon) < 2e-6 &&
         std::fabs(p.speed - e.knots * KNOTS) < 1e-3 && std::fabs(p.bearing - e.track) < 1e-3 &&
         std::fabs(p.altitude - e.altitude) < 1e-3 && p.time_ms == NMEA_LOG_START_MS + second * 1000 &&
         p.horizontal_accuracy > 0;
}

class GpsPublisherTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (HasFailure()) world_.keep();
  }
  PcWorld world_{RUNS_DIR};
};

// The log's fixes are published with their values, as they come: a northern/western fix, a
// southern/western one, the fix lost, and a fix regained in the east.
TEST_F(GpsPublisherTest, PublishesTheReplayedFixesTheirLossAndTheirReturn) {
  const NmeaEpoch epochs[] = {{true, 37.7749, -122.4194, 10.0, 45.0, 12.5},
                              {true, -33.4489, -70.6693, 20.0, 270.0, 520.0},
                              {false, 0, 0, 0, 0, 0},
                              {true, 48.8566, 2.3522, 5.0, 90.0, 35.0}};
  {
    std::ofstream log(world_.path("drive.nmea"), std::ios::binary);
    for (int s = 0; s < 4; s++) log << nmea_epoch(s, epochs[s]);
  }
  const int port = free_tcp_port();
  TopicReader locations("gpsLocation");
  GroupChild gpsfake(world_, "gpsfake",
                     {"gpsfake", "-q", "-c", "0.2", "-P", std::to_string(port), world_.path("drive.nmea")});
  auto gps = world_.start("gps", {GPS_PUBLISHER, "--gps", "127.0.0.1:" + std::to_string(port)});

  // gpsfake replays the log in a loop, and gpsd needs a few sentences to learn the receiver:
  // the replay is judged from the first complete report of the first epoch on.
  int next = 0;
  const bool all_seen = locations.until(
      [&](strand::Event::Reader e) {
        const Published p = read_location(e);
        const bool expected = epochs[next].fix ? matches(p, epochs[next], next) : !p.has_fix;
        if (expected)
          next++;
        else if (next > 0 && epochs[next - 1].fix && p.has_fix && !matches(p, epochs[next - 1], next - 1)) {
          ADD_FAILURE() << "unexpected fix " << p.lat << " " << p.lon << " speed " << p.speed
                        << " after epoch " << next - 1;
        }
        return next == 4;
      },
      60000);
  EXPECT_TRUE(all_seen) << "epochs seen in order: " << next << "\n" << gps->output();
  EXPECT_TRUE(gps->running());
}

// A fake gpsd on a TCP port of the test's: sends what the test says, and goes away.
class FakeGpsd {
 public:
  FakeGpsd() {
    listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    bind(listen_fd_, (sockaddr *)&addr, sizeof(addr));
    getsockname(listen_fd_, (sockaddr *)&addr, &len);
    port_ = ntohs(addr.sin_port);
    listen(listen_fd_, 4);
  }
  ~FakeGpsd() {
    drop_client();
    close(listen_fd_);
  }
  int port() const { return port_; }

  // Waits at most `timeout_ms` for the publisher to connect, then greets it as gpsd does.
  bool accept_client(int timeout_ms) {
    pollfd p = {listen_fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1) return false;
    client_fd_ = accept(listen_fd_, nullptr, nullptr);
    return client_fd_ >= 0 &&
           send(R"({"class":"VERSION","release":"3.22","rev":"3.22","proto_major":3,"proto_minor":14})");
  }
  bool send(const std::string &line) {
    const std::string text = line + "\r\n";
    return ::send(client_fd_, text.data(), text.size(), MSG_NOSIGNAL) == (ssize_t)text.size();
  }
  void drop_client() {
    if (client_fd_ >= 0) close(client_fd_);
    client_fd_ = -1;
  }

 private:
  int listen_fd_ = -1, client_fd_ = -1, port_ = 0;
};

TEST_F(GpsPublisherTest, GarbageFromGpsdIsNeverAFixAndARestartedGpsdIsReadAgain) {
  FakeGpsd gpsd;
  TopicReader locations("gpsLocation");
  auto gps = world_.start(
      "gps", {GPS_PUBLISHER, "--gps", "127.0.0.1:" + std::to_string(gpsd.port()), "--no-fix-after", "0.5"});
  ASSERT_TRUE(gpsd.accept_client(30000)) << gps->output();

  const std::string garbage[] = {
      std::string("\x01\xff\xfe not json \x7f", 14),
      R"({"class":"TPV","mode":3,"lat":"north","lon":"west"})",
      R"({"class":"TPV","mode":3,"lat":999.0,"lon":-999.0,"speed":5.0})",
      R"({"class":"TPV","mode":3,"lat":NaN,"lon":1.0})",
      R"({"class":"TPV","mode":3,"lat":)",
      std::string(20000, 'x'),
  };
  for (auto &line : garbage) ASSERT_TRUE(gpsd.send(line));
  ASSERT_TRUE(gpsd.send(R"({"class":"TPV","mode":3,"lat":12.5,"lon":-45.25,"speed":3.0,"track":10.0})"));
  auto is_fix_at = [](strand::Event::Reader e, double lat, double lon) {
    const Published p = read_location(e);
    if (p.has_fix && (std::fabs(p.lat) > 90 || std::fabs(p.lon) > 180 || std::isnan(p.lat))) {
      ADD_FAILURE() << "garbage published as a fix: " << p.lat << " " << p.lon;
    }
    return p.has_fix && p.lat == lat && p.lon == lon;
  };
  EXPECT_TRUE(locations.until([&](strand::Event::Reader e) { return is_fix_at(e, 12.5, -45.25); }, 20000))
      << gps->output();

  // gpsd goes away: "no fix" follows within a second, and a new gpsd is read once it is there.
  gpsd.drop_client();
  EXPECT_TRUE(locations.until([](strand::Event::Reader e) { return !read_location(e).has_fix; }, 20000));
  ASSERT_TRUE(gpsd.accept_client(30000)) << gps->output();
  ASSERT_TRUE(gpsd.send(R"({"class":"TPV","mode":2,"lat":-10.0,"lon":20.0,"speed":1.0})"));
  EXPECT_TRUE(locations.until([&](strand::Event::Reader e) { return is_fix_at(e, -10.0, 20.0); }, 20000))
      << gps->output();

  const std::string log = gps->output();
  EXPECT_EQ(count_occurrences(log, "gps: connected to gpsd"), 2) << log;
  EXPECT_EQ(count_occurrences(log, "gps: lost gpsd"), 1) << log;
  EXPECT_EQ(gps->stop(SIGTERM, 20000), 0) << log;
}

}  // namespace
