// The topic tool, run as a program, against publishers in this process: on shared memory
// (a private TAVRIN_PREFIX) and on ZeroMQ (ZMQ=1, the topics' own ports on this machine).

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <functional>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/timing.h"
#include "strand/messaging/socketmaster.h"
#include "tests/support/child_process.h"
#include "tests/support/run_program.h"
#include "tests/support/test_prefix.h"
#include "tests/support/wait.h"

namespace {

enum class Backend { SHARED_MEMORY, ZEROMQ };
const char *name(Backend b) { return b == Backend::ZEROMQ ? "zmq" : "msgq"; }
void PrintTo(Backend b, std::ostream *os) { *os << name(b); }

// Runs the tool to its end (bounded); standard error joins standard output when asked.
RunResult topic(const std::vector<std::string> &args, bool with_stderr = false) {
  std::vector<std::string> argv = {"/bin/sh", "-c", with_stderr ? "exec \"$0\" \"$@\" 2>&1" : "exec \"$0\" \"$@\"",
                                   TOPIC_TOOL};
  argv.insert(argv.end(), args.begin(), args.end());
  RunOptions options;
  options.timeout = std::chrono::seconds(60);
  return run_program(argv, options);
}

// An Event written as text and encoded by the schema compiler, an encoder independent of
// the tool's; `decode` prints bytes back the same way.
std::string capnp_tool(const std::string &command, const std::string &input, bool short_form = false) {
  std::vector<std::string> argv = {CAPNP_TOOL, command, std::string("-I") + SCHEMA_DIR};
  if (short_form) argv.push_back("--short");
  argv.insert(argv.end(), {std::string(SCHEMA_DIR) + "/log.capnp", "Event"});
  RunOptions options;
  options.input = input;
  RunResult r = run_program(argv, options);
  EXPECT_EQ(r.status, 0) << "capnp " << command << " failed on " << input;
  return r.out;
}

// Publishes `payload()` on a topic from a thread, at `rate` per second at fixed times from
// its start, until destroyed. On ZeroMQ the topic's port may still be held by a test that just
// ended; the bind is retried for a while.
class Publisher {
 public:
  Publisher(const char *topic, double rate, std::function<std::string()> payload) : payload_(std::move(payload)) {
    const bool bound = wait_until(
        [&] {
          socket_.reset(PubSocket::create(message_context.context(), topic, true));
          return socket_ != nullptr;
        },
        std::chrono::seconds(30), std::chrono::milliseconds(200));
    if (!bound) return;
    thread_ = std::thread([this, rate] {
      const double start = nanos_since_boot() * 1e-9;
      for (long long n = 0; !stop_; n++) {
        while (!stop_ && nanos_since_boot() * 1e-9 < start + n / rate) {
          std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        std::string bytes = payload_();
        socket_->send(bytes.data(), bytes.size());
      }
    });
  }
  ~Publisher() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  bool ready() const { return socket_ != nullptr; }

 private:
  std::function<std::string()> payload_;
  std::unique_ptr<PubSocket> socket_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// An Event stamped now (logMonoTime) and filled in by `fill`.
std::string built_payload(const std::function<void(strand::Event::Builder)> &fill) {
  MessageBuilder msg;
  fill(msg.initEvent());
  auto bytes = msg.toBytes();
  return std::string((const char *)bytes.begin(), bytes.size());
}

std::vector<std::string> lines(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

class TopicTool : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    if (GetParam() == Backend::ZEROMQ) {
      setenv("ZMQ", "1", 1);
    } else {
      prefix_ = std::make_unique<TestPrefix>();
    }
  }
  void TearDown() override { unsetenv("ZMQ"); }

  std::unique_ptr<TestPrefix> prefix_;
};

TEST_P(TopicTool, ListShowsThePublishedTopicsWithCountRateAndLastMessage) {
  Publisher car("carState", 100, [] { return built_payload([](auto e) { e.initCarState(); }); });
  Publisher device("deviceState", 10, [] { return built_payload([](auto e) { e.initDeviceState(); }); });
  ASSERT_TRUE(car.ready() && device.ready());

  RunResult r = topic({"list", "--duration", "2"});
  ASSERT_EQ(r.status, 0) << r.out;
  std::set<std::string> listed;
  const std::regex row(R"((\w+) +(\d+) +([0-9.]+) +\d\d:\d\d:\d\d\.\d\d\d \(\d+\.\d s ago\))");
  for (const std::string &line : lines(r.out)) {
    std::smatch m;
    if (!std::regex_match(line, m, row)) continue;
    listed.insert(m[1]);
    EXPECT_GE(std::stoi(m[2]), 2) << line;
    EXPECT_GT(std::stod(m[3]), 0) << line;
  }
  EXPECT_EQ(listed, (std::set<std::string>{"carState", "deviceState"})) << r.out;
  if (prefix_) {
    // Listening opened only the queues that exist: it made none of its own.
    std::set<std::string> queues;
    for (auto &entry : std::filesystem::directory_iterator(prefix_->dir())) queues.insert(entry.path().filename());
    EXPECT_EQ(queues, (std::set<std::string>{"carState", "deviceState"}));
  }
}

TEST_P(TopicTool, EchoPrintsAKnownMessageAsItsExactText) {
  const std::string payload = capnp_tool(
      "encode", "(logMonoTime = 1234567, valid = false, deviceState = (started = true, batteryPercent = -3, "
                "thermalStatus = red, cpuUsagePercent = [5, 70]))");
  Publisher device("deviceState", 20, [&] { return payload; });
  ASSERT_TRUE(device.ready());

  RunResult r = topic({"echo", "deviceState", "-n", "2"});
  ASSERT_EQ(r.status, 0) << r.out;
  const std::string text =
      "(logMonoTime = 1234567, deviceState = (freeSpaceBytes = 0, memoryUsedBytes = 0, startedMonoTime = 0, "
      "started = true, cpuTempC = 0, gpuTempC = 0, fanSpeedPercentDesired = 0, thermalStatus = red, "
      "networkType = none, batteryPercent = -3, offroadPowerUsageUwh = 0, screenBrightnessPercent = 0, "
      "cpuUsagePercent = [5, 70]), valid = false)";
  EXPECT_EQ(r.out, text + "\n" + text + "\n");

  // The indented form is the schema compiler's own rendering of the same bytes.
  r = topic({"echo", "deviceState", "-n", "1", "--pretty"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, capnp_tool("decode", payload));
}

TEST_P(TopicTool, PublishedTextIsReadBackBySubMaster) {
  SubMaster sm({"deviceState", "gpsLocation"});
  ChildProcess device({TOPIC_TOOL, "pub", "deviceState", "(started = true, batteryPercent = 42)", "--rate", "20"});
  ChildProcess gps({TOPIC_TOOL, "pub", "gpsLocation", "(hasFix = true, latitude = 52.5, speed = 13.25)", "--rate",
                    "20", "--invalid"});
  ASSERT_TRUE(device.started() && gps.started());

  ASSERT_TRUE(wait_until(
      [&] {
        if (sm.rcv_frame("deviceState") != 0 && sm.rcv_frame("gpsLocation") != 0) return true;
        sm.update(100);
        return false;
      },
      std::chrono::seconds(30), std::chrono::milliseconds(0)))
      << "no message from the tool";
  EXPECT_TRUE(sm["deviceState"].getDeviceState().getStarted());
  EXPECT_EQ(sm["deviceState"].getDeviceState().getBatteryPercent(), 42);
  EXPECT_TRUE(sm.valid("deviceState"));
  EXPECT_NE(sm["deviceState"].getLogMonoTime(), 0u);
  auto gps_reader = sm["gpsLocation"].getGpsLocation();
  EXPECT_TRUE(gps_reader.getHasFix());
  EXPECT_DOUBLE_EQ(gps_reader.getLatitude(), 52.5);
  EXPECT_FLOAT_EQ(gps_reader.getSpeed(), 13.25f);
  EXPECT_FALSE(sm.valid("gpsLocation"));
}

// Stamped Events are timed on the publisher's clock, which no stall of the tool skews; a
// payload whose stamp never advances is timed by its arrival, where stalls of the tool at
// either end of the measurement count, so that case is measured over more messages and held
// to a looser bound.
TEST_P(TopicTool, HzMeasuresAKnownRate) {
  const std::string frozen = built_payload([](auto e) { e.initCarState().setVEgo(3); });
  struct Case {
    std::function<std::string()> payload;
    const char *messages, *clock;
    double tolerance;
  } cases[] = {
      {[] { return built_payload([](auto e) { e.initCarState().setVEgo(3); }); }, "200", "publisher's clock", 0.1},
      {[&] { return frozen; }, "300", "arrival times", 0.5},
  };
  for (const Case &c : cases) {
    Publisher car("carState", 100, c.payload);
    ASSERT_TRUE(car.ready());
    RunResult r = topic({"hz", "carState", "-n", c.messages});
    ASSERT_EQ(r.status, 0) << r.out;
    std::smatch m;
    const std::string last = lines(r.out).back();
    const std::regex line(std::string(R"(carState: ([0-9.]+) Hz over )") + c.messages + " messages .*, " + c.clock +
                          R"(\))");
    ASSERT_TRUE(std::regex_match(last, m, line)) << r.out;
    EXPECT_NEAR(std::stod(m[1]), 100.0, 100.0 * c.tolerance) << r.out;
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, TopicTool, ::testing::Values(Backend::SHARED_MEMORY, Backend::ZEROMQ),
                         [](const auto &info) { return std::string(name(info.param)); });

TEST(TopicToolMistakes, EndWithOneClearSentenceAndStatusTwo) {
  TestPrefix prefix;
  struct Case {
    std::vector<std::string> args;
    std::string says;
  } cases[] = {
      {{"echo", "CarState"}, "topic: unknown topic CarState (did you mean carState?)"},
      {{"frobnicate"}, "topic: unknown command frobnicate"},
      {{"hz"}, "topic: hz needs a topic"},
      {{"echo", "carState", "-n", "0"}, "topic: -n takes a whole number above 0, not 0"},
      {{"echo", "carState", "--host", "192.168.1.20"}, "topic: --host needs ZMQ=1"},
      {{"pub", "deviceState", "(started = maybe)"}, "topic: not a deviceState message: (started = maybe)"},
      {{"pub", "deviceState", "(noSuchField = 1)"}, "topic: not a deviceState message: (noSuchField = 1)"},
      {{"pub", "deviceState", "(started = true), valid = false"}, "topic: not a deviceState message"},
  };
  for (const Case &c : cases) {
    RunResult r = topic(c.args, true);
    EXPECT_EQ(r.status, 2) << c.args[0] << ": " << r.out;
    EXPECT_EQ(r.out.rfind(c.says, 0), 0u) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
  }
  // A mistake never publishes: no queue was made.
  EXPECT_TRUE(std::filesystem::is_empty(prefix.dir()));

  RunResult help = topic({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage: topic list"), std::string::npos) << help.out;
}

TEST(TopicToolMalformed, EchoReportsAMessageThatIsNotAnEventAndGoesOn) {
  TestPrefix prefix;
  // Every other message claims a segment far longer than what follows.
  std::string good = built_payload([](auto e) {
    e.setLogMonoTime(7);
    e.initCarState().setVEgo(2);
  });
  std::string bad("\x00\x00\x00\x00\xff\xff\xff\x0f not a message", 22);
  std::unique_ptr<PubSocket> pub(PubSocket::create(message_context.context(), "carState", true));
  ASSERT_TRUE(pub);
  ChildProcess echo({"/bin/sh", "-c", "exec \"$0\" echo carState -n 2 2>&1", TOPIC_TOOL});
  ASSERT_TRUE(echo.started());

  // Until the tool has subscribed, what is sent is not delivered to it; keep alternating.
  std::vector<std::string> seen;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (int n = 0; seen.size() < 2 && std::chrono::steady_clock::now() < deadline; n++) {
    std::string &payload = n % 2 ? good : bad;
    pub->send(payload.data(), payload.size());
    std::string line;
    while (echo.read_line(&line, 50)) seen.push_back(line);
  }
  std::string line;
  while (echo.read_line(&line, 2000)) seen.push_back(line);
  ASSERT_GE(seen.size(), 2u);
  const std::string good_text = "(logMonoTime = 7, carState = (vEgo = 2";
  const std::string bad_text = "topic: carState: a message of 22 bytes is not an Event: ";
  bool saw_good = false, saw_bad = false;
  for (const std::string &l : seen) {
    saw_good |= l.rfind(good_text, 0) == 0;
    saw_bad |= l.rfind(bad_text, 0) == 0;
  }
  EXPECT_TRUE(saw_good && saw_bad) << ::testing::PrintToString(seen);
  EXPECT_EQ(WEXITSTATUS(echo.wait_exit(10000)), 0);
}

}  // namespace
