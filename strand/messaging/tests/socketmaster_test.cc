// SubMaster and PubMaster over real shared-memory queues: what arrives, the bookkeeping of
// each topic (updated, alive, valid, frame), the poll list, drain, and the errors.

#include <gtest/gtest.h>

#include <kj/exception.h>

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/timing.h"
#include "strand/messaging/socketmaster.h"
#include "strand/messaging/tests/msgq_test_util.h"
#include "tests/support/run_program.h"

namespace {

using strand::CarState;
using Gear = CarState::GearShifter;

constexpr uint64_t SEC = 1000000000ull;

// Holds built messages so that their readers stay valid for update_msgs().
class Events {
 public:
  strand::Event::Reader car(Gear gear, bool valid = true) {
    MessageBuilder &msg = next();
    msg.initEvent(valid).initCarState().setGearShifter(gear);
    return msg.getRoot<strand::Event>().asReader();
  }
  strand::Event::Reader plain(bool valid = true) {
    MessageBuilder &msg = next();
    msg.initEvent(valid);
    return msg.getRoot<strand::Event>().asReader();
  }

 private:
  MessageBuilder &next() {
    builders_.emplace_back(new MessageBuilder());
    return *builders_.back();
  }
  std::vector<std::unique_ptr<MessageBuilder>> builders_;
};

void send_gear(PubMaster &pm, Gear gear, bool valid = true) {
  MessageBuilder msg;
  msg.initEvent(valid).initCarState().setGearShifter(gear);
  ASSERT_GT(pm.send("carState", msg), 0);
}

void send_started(PubMaster &pm, bool started, bool valid = true) {
  MessageBuilder msg;
  msg.initEvent(valid).initDeviceState().setStarted(started);
  ASSERT_GT(pm.send("deviceState", msg), 0);
}

class SocketMaster : public ::testing::Test {
 protected:
  TestPrefix prefix;
};

}  // namespace

TEST_F(SocketMaster, BeforeAnyMessageTopicsReadTheirDefaults) {
  SubMaster sm({"carState", "deviceState", "gpsLocation"});
  EXPECT_EQ(sm.frame, 0u);
  for (const char *name : {"carState", "deviceState", "gpsLocation"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(sm.updated(name));
    EXPECT_FALSE(sm.alive(name));
    EXPECT_TRUE(sm.valid(name));
    EXPECT_EQ(sm.rcv_time(name), 0u);
    EXPECT_EQ(sm.rcv_frame(name), 0u);
    EXPECT_TRUE(sm[name].getValid());
  }
  EXPECT_EQ(sm["carState"].getCarState().getGearShifter(), Gear::UNKNOWN);
  EXPECT_FALSE(sm["deviceState"].getDeviceState().getStarted());
  EXPECT_FALSE(sm["gpsLocation"].getGpsLocation().getHasFix());
}

TEST_F(SocketMaster, UpdateTakesTheNewestMessageOfEachTopic) {
  PubMaster pm({"carState", "deviceState"});
  SubMaster sm({"carState", "deviceState", "gpsLocation"});
  send_gear(pm, Gear::PARK);
  send_gear(pm, Gear::REVERSE);
  send_gear(pm, Gear::DRIVE);
  send_started(pm, true);

  uint64_t before = nanos_since_boot();
  sm.update(0);
  uint64_t after = nanos_since_boot();

  EXPECT_EQ(sm.frame, 1u);
  EXPECT_TRUE(sm.updated("carState"));
  EXPECT_TRUE(sm.updated("deviceState"));
  EXPECT_FALSE(sm.updated("gpsLocation"));
  EXPECT_EQ(sm["carState"].getCarState().getGearShifter(), Gear::DRIVE);
  EXPECT_TRUE(sm["deviceState"].getDeviceState().getStarted());
  EXPECT_EQ(sm.rcv_frame("carState"), 1u);
  EXPECT_GE(sm.rcv_time("carState"), before);
  EXPECT_LE(sm.rcv_time("carState"), after);
  EXPECT_EQ(sm.rcv_time("carState"), sm.rcv_time("deviceState")) << "one time base per update";
  EXPECT_TRUE(sm.alive("carState"));
  EXPECT_EQ(sm.rcv_time("gpsLocation"), 0u);

  // Nothing waiting: the frame still advances, nothing is updated, the last values stay.
  sm.update(0);
  EXPECT_EQ(sm.frame, 2u);
  EXPECT_FALSE(sm.updated("carState"));
  EXPECT_FALSE(sm.updated("deviceState"));
  EXPECT_EQ(sm.rcv_frame("carState"), 1u);
  EXPECT_EQ(sm["carState"].getCarState().getGearShifter(), Gear::DRIVE);

  send_gear(pm, Gear::SPORT);
  sm.update(0);
  EXPECT_TRUE(sm.updated("carState"));
  EXPECT_FALSE(sm.updated("deviceState"));
  EXPECT_EQ(sm.rcv_frame("carState"), 3u);
  EXPECT_EQ(sm.rcv_frame("deviceState"), 1u);
  EXPECT_EQ(sm["carState"].getCarState().getGearShifter(), Gear::SPORT);
  EXPECT_TRUE(sm["deviceState"].getDeviceState().getStarted());
}

// Payloads that grow and shrink across updates: each read sees its own message (the buffer
// is reused or regrown under the reader that is rebuilt each time).
TEST_F(SocketMaster, ReadersFollowMessagesOfChangingSize) {
  PubMaster pm({"customReservedRawData0"});
  SubMaster sm({"customReservedRawData0"});
  const size_t sizes[] = {10, 5000, 100, 40000, 3, 0, 70000, 8};
  for (size_t i = 0; i < sizeof(sizes) / sizeof(sizes[0]); i++) {
    SCOPED_TRACE(sizes[i]);
    MessageBuilder msg;
    auto data = msg.initEvent().initCustomReservedRawData0(sizes[i]);
    for (size_t j = 0; j < sizes[i]; j++) data[j] = capnp::byte(i + j);
    ASSERT_GT(pm.send("customReservedRawData0", msg), 0);
    sm.update(0);
    ASSERT_TRUE(sm.updated("customReservedRawData0"));
    auto got = sm["customReservedRawData0"].getCustomReservedRawData0();
    ASSERT_EQ(got.size(), sizes[i]);
    for (size_t j = 0; j < sizes[i]; j++) ASSERT_EQ(got[j], capnp::byte(i + j));
  }
}

TEST_F(SocketMaster, ValidFollowsTheLastMessage) {
  PubMaster pm({"carState", "deviceState"});
  SubMaster sm({"carState", "deviceState"});
  send_gear(pm, Gear::DRIVE, false);
  send_started(pm, true, true);
  sm.update(0);
  EXPECT_FALSE(sm.valid("carState"));
  EXPECT_TRUE(sm.valid("deviceState"));
  EXPECT_FALSE(sm.allValid());
  EXPECT_TRUE(sm.allValid({"deviceState"}));

  sm.update(0);  // nothing new: still invalid
  EXPECT_FALSE(sm.valid("carState"));

  send_gear(pm, Gear::DRIVE, true);
  sm.update(0);
  EXPECT_TRUE(sm.valid("carState"));
  EXPECT_TRUE(sm.allValid());
}

TEST_F(SocketMaster, AliveIsJudgedAgainstTenPeriods) {
  // modelV2 is a 20 Hz topic: alive while its last message is younger than 0.5 s.
  SubMaster sm({"modelV2", "carState"});
  Events ev;
  const uint64_t t0 = 1000 * SEC;
  sm.update_msgs(t0, {{"modelV2", ev.plain()}});
  EXPECT_TRUE(sm.alive("modelV2"));
  EXPECT_EQ(sm.rcv_time("modelV2"), t0);

  struct {
    uint64_t age_ns;
    bool alive;
  } cases[] = {{4 * SEC / 10, true}, {SEC / 2 - 1000, true}, {SEC / 2, false}, {6 * SEC / 10, false}};
  for (auto &c : cases) {
    SCOPED_TRACE(c.age_ns);
    sm.update_msgs(t0 + c.age_ns, {});
    EXPECT_EQ(sm.alive("modelV2"), c.alive);
  }
  // carState (100 Hz) never arrived: rcv_time 0, so the boot-clock time itself is its age.
  EXPECT_FALSE(sm.alive("carState"));
  sm.update_msgs(SEC / 20, {});
  EXPECT_TRUE(sm.alive("carState"));
  sm.update_msgs(SEC / 10, {});
  EXPECT_FALSE(sm.alive("carState"));
}

TEST_F(SocketMaster, TopicsWithoutARateAreAlwaysAlive) {
  // logMessage has frequency 0 in the service table.
  SubMaster sm({"logMessage", "carState"}, {}, nullptr, {});
  EXPECT_FALSE(sm.alive("logMessage")) << "not before the first update";
  sm.update(0);
  EXPECT_TRUE(sm.alive("logMessage"));
  EXPECT_FALSE(sm.updated("logMessage"));
  sm.update_msgs(~0ull >> 1, {});
  EXPECT_TRUE(sm.alive("logMessage"));
}

TEST_F(SocketMaster, AllAliveValidAndTheirLists) {
  SubMaster sm({"carState", "deviceState", "gpsLocation"}, {}, nullptr, {"gpsLocation"});
  Events ev;
  const uint64_t t = 500 * SEC;
  sm.update_msgs(t, {{"carState", ev.car(Gear::DRIVE)}, {"deviceState", ev.plain(false)}});
  // gpsLocation never arrived and is not alive, but it is ignored for aliveness.
  EXPECT_FALSE(sm.alive("gpsLocation"));
  EXPECT_TRUE(sm.allAlive());
  EXPECT_TRUE(sm.allAlive({"carState", "gpsLocation"}));
  EXPECT_FALSE(sm.allValid());
  EXPECT_FALSE(sm.allAliveAndValid());
  EXPECT_TRUE(sm.allAliveAndValid({"carState"}));
  EXPECT_TRUE(sm.allValid({"carState", "gpsLocation"}));
  // A topic that was not subscribed, or one named twice, never satisfies the list.
  EXPECT_FALSE(sm.allValid({"carState", "modelV2"}));
  EXPECT_FALSE(sm.allAlive({"carState", "carState"}));

  // Time passes: carState (100 Hz) dies after 0.1 s, deviceState (2 Hz) lives 5 s.
  sm.update_msgs(t + SEC, {});
  EXPECT_FALSE(sm.alive("carState"));
  EXPECT_TRUE(sm.alive("deviceState"));
  EXPECT_FALSE(sm.allAlive());
  EXPECT_TRUE(sm.allAlive({"deviceState", "gpsLocation"}));
}

TEST_F(SocketMaster, UpdateMsgsSkipsUnknownNamesAndKeepsTheLastOfARepeatedOne) {
  SubMaster sm({"carState"});
  Events ev;
  sm.update_msgs(
      SEC, {{"modelV2", ev.plain(false)}, {"carState", ev.car(Gear::PARK)}, {"carState", ev.car(Gear::LOW)}});
  EXPECT_EQ(sm["carState"].getCarState().getGearShifter(), Gear::LOW);
  EXPECT_TRUE(sm.updated("carState"));
  EXPECT_EQ(sm.rcv_frame("carState"), 1u);
}

TEST_F(SocketMaster, FrameSkipsZeroAndAllOnesWhenItWraps) {
  SubMaster sm({"carState"});
  Events ev;
  sm.frame = UINT64_MAX - 2;  // 2^64 - 3
  sm.update_msgs(SEC, {});
  EXPECT_EQ(sm.frame, UINT64_MAX - 1);
  sm.update_msgs(SEC, {{"carState", ev.car(Gear::DRIVE)}});
  EXPECT_EQ(sm.frame, 1u);
  EXPECT_EQ(sm.rcv_frame("carState"), 1u);
  sm.update(0);
  EXPECT_EQ(sm.frame, 2u);
}

TEST_F(SocketMaster, TopicsOutsideThePollListAreReadOnEveryUpdate) {
  PubMaster pm({"carState", "deviceState"});
  SubMaster sm({"carState", "deviceState"}, {"carState"});
  send_started(pm, true);
  sm.update(0);
  EXPECT_TRUE(sm.updated("deviceState"));
  EXPECT_FALSE(sm.updated("carState"));
  EXPECT_TRUE(sm["deviceState"].getDeviceState().getStarted());

  // Its arrival does not end the wait: only the polled topic, or the timeout, does.
  send_started(pm, false);
  uint64_t start = nanos_since_boot();
  sm.update(200);
  EXPECT_GE(nanos_since_boot() - start, 150 * 1000000ull);
  EXPECT_TRUE(sm.updated("deviceState"));
  EXPECT_FALSE(sm["deviceState"].getDeviceState().getStarted());
}

TEST_F(SocketMaster, PolledTopicEndsTheWaitFromAnotherProcess) {
  // The publisher opens its queue first: a publisher that arrives later takes the queue
  // over and moves existing readers to its newest position.
  Signal ready, go;
  pid_t child = fork_child([&] {
    PubMaster pm({"carState"});
    ready.notify();
    if (!go.wait()) return 2;
    MessageBuilder msg;
    msg.initEvent().initCarState().setGearShifter(Gear::ECO);
    return pm.send("carState", msg) > 0 ? 0 : 3;
  });
  ASSERT_TRUE(ready.wait());
  SubMaster sm({"carState", "deviceState"}, {"carState"});
  sm.update(0);
  go.notify();
  // Bounded by the test's own deadline, not by a guess of the delivery time.
  bool got = false;
  for (int i = 0; i < 100 && !got; i++) {
    sm.update(100);
    got = sm.updated("carState");
  }
  EXPECT_EQ(wait_child(child), 0);
  ASSERT_TRUE(got);
  EXPECT_EQ(sm["carState"].getCarState().getGearShifter(), Gear::ECO);
}

TEST_F(SocketMaster, DrainDiscardsWaitingMessagesWithoutBookkeeping) {
  PubMaster pm({"carState", "deviceState"});
  SubMaster sm({"carState", "deviceState"}, {"carState"});
  send_gear(pm, Gear::DRIVE);
  send_started(pm, true);
  sm.drain();
  EXPECT_EQ(sm.frame, 0u);
  EXPECT_FALSE(sm.updated("carState"));
  sm.update(0);
  EXPECT_FALSE(sm.updated("carState")) << "drained";
  EXPECT_TRUE(sm.updated("deviceState")) << "not polled, so not drained";
}

TEST_F(SocketMaster, UnknownNamesThrow) {
  PubMaster pm({"carState"});
  SubMaster sm({"carState"});
  EXPECT_THROW(sm["deviceState"], std::out_of_range);
  EXPECT_THROW(sm.valid("CarState"), std::out_of_range);
  EXPECT_THROW(sm.alive("gpsLocation"), std::out_of_range);
  EXPECT_THROW(sm.updated("x"), std::out_of_range);
  EXPECT_THROW(sm.rcv_time("x"), std::out_of_range);
  EXPECT_THROW(sm.rcv_frame("x"), std::out_of_range);
  EXPECT_THROW(sm.valid(nullptr), std::logic_error);
  capnp::byte b[8] = {};
  EXPECT_THROW(pm.send("deviceState", b, sizeof(b)), std::out_of_range);
}

TEST_F(SocketMaster, TopicsOutsideTheServiceTableStopTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(SubMaster({"carState", "notATopic"}), "services\\.count\\(std::string\\(name\\)\\) > 0");
  EXPECT_DEATH(PubMaster({"CarState"}), "services\\.count\\(name\\) > 0");
}

TEST_F(SocketMaster, SendReportsTheTransportResult) {
  PubMaster pm({"carState"});
  MessageBuilder msg;
  msg.initEvent().initCarState().setGearShifter(Gear::NEUTRAL);
  kj::ArrayPtr<capnp::byte> bytes = msg.toBytes();
  EXPECT_EQ(pm.send("carState", bytes.begin(), bytes.size()), int(bytes.size()));
  EXPECT_EQ(pm.send("carState", msg), int(bytes.size()));
}

// A malformed payload reaches the caller as the reader's exception; the topics decoded in
// the same update keep their bookkeeping, the bad topic reads its defaults, and the next
// good message is read normally.
TEST_F(SocketMaster, MalformedPayloadThrowsAndLeavesTheTopicUsable) {
  PubMaster pm({"carState", "deviceState"});
  SubMaster sm({"carState", "deviceState"});
  send_gear(pm, Gear::DRIVE);
  sm.update(0);
  ASSERT_EQ(sm["carState"].getCarState().getGearShifter(), Gear::DRIVE);

  // A segment table claiming 2^32 segments.
  capnp::byte garbage[16];
  memset(garbage, 0xFF, sizeof(garbage));
  ASSERT_GT(pm.send("carState", garbage, sizeof(garbage)), 0);
  send_started(pm, true);
  EXPECT_THROW(sm.update(0), kj::Exception);
  EXPECT_EQ(sm.frame, 2u);
  EXPECT_TRUE(sm.updated("deviceState"));
  EXPECT_TRUE(sm["deviceState"].getDeviceState().getStarted());
  EXPECT_FALSE(sm.updated("carState"));
  EXPECT_EQ(sm["carState"].getCarState().getGearShifter(), Gear::UNKNOWN);

  // A truncated but well-framed message: the root pointer runs past the end.
  uint64_t truncated[2] = {uint64_t(1) << 32, (uint64_t(5) << 32) | (uint64_t(1) << 48)};
  ASSERT_GT(pm.send("carState", reinterpret_cast<capnp::byte *>(truncated), sizeof(truncated)), 0);
  EXPECT_THROW(sm.update(0), kj::Exception);
  EXPECT_EQ(sm["carState"].getCarState().getGearShifter(), Gear::UNKNOWN);

  send_gear(pm, Gear::MANUMATIC);
  sm.update(0);
  EXPECT_TRUE(sm.updated("carState"));
  EXPECT_EQ(sm["carState"].getCarState().getGearShifter(), Gear::MANUMATIC);
}

TEST_F(SocketMaster, MessageContextIsCreatedOnceForAllThreads) {
  MessageContext local;
  std::atomic<bool> start{false};
  Context *seen[4] = {};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; i++) {
    threads.emplace_back([&, i] {
      while (!start) std::this_thread::yield();
      seen[i] = local.context();
    });
  }
  start = true;
  for (auto &t : threads) t.join();
  ASSERT_NE(seen[0], nullptr);
  for (Context *c : seen) EXPECT_EQ(c, seen[0]);
  EXPECT_EQ(local.context(), seen[0]);
  EXPECT_EQ(message_context.context(), message_context.context());
}

// SIMULATION is read once at start-up, so each setting runs in a fresh copy of this test
// program; the child part below is disabled unless started that way.
namespace {

void expect_simulation_child_passes(const char *value) {
  RunOptions options;
  options.env = {{"SIMULATION", value}};
  RunResult r = run_program({"/proc/self/exe", "--gtest_also_run_disabled_tests",
                             "--gtest_filter=SocketMasterSimulation.DISABLED_Child"},
                            options);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("[  PASSED  ] 1 test."), std::string::npos) << r.out;
}

}  // namespace

TEST(SocketMasterSimulation, AliveFromTheFirstMessageOnWhenSimulating) {
  expect_simulation_child_passes("1");
}

TEST(SocketMasterSimulation, OtherValuesKeepTheNormalRule) {
  expect_simulation_child_passes("yes");
}

TEST(SocketMasterSimulation, DISABLED_Child) {
  const char *sim = getenv("SIMULATION");
  ASSERT_NE(sim, nullptr);
  bool simulating = std::string(sim) == "1";
  EXPECT_EQ(SIMULATION, simulating);

  TestPrefix prefix;
  SubMaster sm({"carState", "modelV2"});
  Events ev;
  const uint64_t t0 = 1000 * SEC;
  sm.update_msgs(t0, {});
  EXPECT_EQ(sm.alive("carState"), false) << "never received, long after boot";
  sm.update_msgs(t0, {{"carState", ev.car(Gear::DRIVE)}});
  EXPECT_TRUE(sm.alive("carState"));
  // An hour later, the publisher long gone.
  sm.update_msgs(t0 + 3600 * SEC, {});
  EXPECT_EQ(sm.alive("carState"), simulating);
  EXPECT_FALSE(sm.alive("modelV2"));
}
