#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <zmq.h>

#include "common/util.h"
#include "system/hardware/talvi/hardware.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_prefix.h"

using json = nlohmann::json;

namespace {

struct Record {
  int level_byte;
  json j;
  std::string wire;  // the bytes after the level byte, as sent
};

// A log collector on a private endpoint (TAVRIN_PREFIX), and a way to run the emitting
// program against it with a chosen environment.
class SwaglogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ctx_ = zmq_ctx_new();
    sock_ = zmq_socket(ctx_, ZMQ_PULL);
    ASSERT_EQ(zmq_bind(sock_, ("ipc:///tmp/logmessage" + prefix_.name()).c_str()), 0);
  }
  void TearDown() override {
    zmq_close(sock_);
    zmq_ctx_destroy(ctx_);
  }

  // Runs the emitting program with `args` and no environment but `env` (and the prefix).
  RunResult emit(const std::vector<std::string> &args, std::map<std::string, std::string> env = {}) {
    if (!env.count("TAVRIN_PREFIX")) env["TAVRIN_PREFIX"] = prefix_.name();
    std::vector<std::string> argv{SWAGLOG_EMIT};
    argv.insert(argv.end(), args.begin(), args.end());
    RunOptions options;
    options.env = env;
    options.inherit_env = false;
    return run_program(argv, options);
  }

  // Every record that arrives within timeout_ms of the previous one.
  std::vector<Record> records(int timeout_ms = 1000) {
    std::vector<Record> recs;
    while (true) {
      zmq_pollitem_t item = {sock_, 0, ZMQ_POLLIN, 0};
      if (zmq_poll(&item, 1, timeout_ms) <= 0) break;
      zmq_msg_t msg;
      zmq_msg_init(&msg);
      int size = zmq_msg_recv(&msg, sock_, 0);
      if (size > 0) {
        const char *d = (const char *)zmq_msg_data(&msg);
        std::string wire(d + 1, size - 1);
        recs.push_back({(unsigned char)d[0], json::parse(wire), wire});
      }
      zmq_msg_close(&msg);
      timeout_ms = 200;
    }
    return recs;
  }

  TestPrefix prefix_{"_swaglog_test"};  // the collector's endpoint goes with it
  void *ctx_ = nullptr;
  void *sock_ = nullptr;
};

TEST_F(SwaglogTest, RecordHasSevenKeysAndLevelByte) {
  RunResult r = emit({"L:30:hello world", "L:40:second"});
  ASSERT_TRUE(r.exited);
  auto recs = records();
  ASSERT_EQ(recs.size(), 2u);
  const json &j = recs[0].j;
  EXPECT_EQ(recs[0].level_byte, 30);
  EXPECT_EQ(recs[1].level_byte, 40);
  EXPECT_EQ(recs[1].j["levelnum"], 40);

  std::vector<std::string> keys;
  for (auto it = j.begin(); it != j.end(); ++it) keys.push_back(it.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"created", "ctx", "filename", "funcname", "levelnum", "lineno", "msg"}));
  // The order on the wire, not only after parsing: ascending byte order of the keys.
  const std::string &wire = recs[0].wire;
  size_t at = 0;
  for (const char *key : {"{\"created\":", ",\"ctx\":{", ",\"filename\":", ",\"funcname\":", ",\"levelnum\":",
                          ",\"lineno\":", ",\"msg\":"}) {
    size_t found = wire.find(key, at);
    ASSERT_NE(found, std::string::npos) << key << " in order in " << wire;
    at = found + 1;
  }
  EXPECT_EQ(wire.front(), '{');
  EXPECT_EQ(wire.back(), '}');
  EXPECT_EQ(j["msg"], "hello world");
  EXPECT_EQ(j["filename"], "emit.cc");
  EXPECT_EQ(j["funcname"], "main");
  EXPECT_EQ(j["lineno"], 11);
  ASSERT_TRUE(j["created"].is_number_float());
  EXPECT_NEAR(j["created"].get<double>(), (double)time(nullptr), 60.0);
}

// Records are byte for byte what the JSON library makes of the same record (as it did when it
// built every record itself): control characters, quotes, non-ASCII and invalid UTF-8 included.
TEST_F(SwaglogTest, RecordsAreTheJsonLibrarysOwnBytes) {
  const std::vector<std::string> texts = {
      "plain text",
      "quotes \" and backslash \\ and slash /",
      "controls \x01\x02\x1f tab\t newline\n return\r bell\a",
      "delete \x7f stays",
      "Gr\xc3\xbc\xc3\x9f\xc3\xa9 \xe2\x82\xac \xf0\x9f\x9a\x97",      // valid UTF-8
      "lone \xff byte",                                                  // invalid UTF-8 ...
      "bad pair \xc3\x28 here",
      "cut short \xe2\x82",
      "overlong \xc0\xaf slash",
      "stray continuation \x80\x81 bytes",
      "surrogate \xed\xa0\x80 half",
      "percent %d %s stays",
      std::string(700, 'x') + "\x01 past the stack buffer",
  };
  std::vector<std::string> args;
  for (const std::string &t : texts) args.push_back("L:30:" + t);
  RunResult r = emit(args);
  ASSERT_TRUE(r.exited);
  auto recs = records();
  ASSERT_EQ(recs.size(), texts.size());

  json ctx = {{"version", "0.9.7"}, {"dirty", true}, {"device", HardwareTalvi::get_name()}};
  for (size_t i = 0; i < texts.size(); i++) {
    SCOPED_TRACE("text " + std::to_string(i));
    const std::string &wire = recs[i].wire;
    // The one field that differs from run to run, taken from the wire.
    const std::string prefix = "{\"created\":";
    ASSERT_EQ(wire.compare(0, prefix.size(), prefix), 0);
    double created = std::strtod(wire.c_str() + prefix.size(), nullptr);

    json reference = json::object();
    reference["ctx"] = ctx;
    reference["levelnum"] = 30;
    reference["filename"] = "emit.cc";
    reference["lineno"] = int(11 + i);
    reference["funcname"] = "main";
    reference["created"] = created;
    reference["msg"] = texts[i];
    EXPECT_EQ(wire, reference.dump(-1, ' ', false, json::error_handler_t::replace));
    EXPECT_EQ(recs[i].level_byte, 30);
  }
}

TEST_F(SwaglogTest, MacrosFillInTheCallSite) {
  emit({"N:1"});
  auto recs = records();
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(recs[0].level_byte, 20);
  EXPECT_TRUE(util::ends_with(recs[0].j["filename"], "swaglog_emit.cc"));
  EXPECT_EQ(recs[0].j["funcname"], "main");
  EXPECT_EQ(recs[0].j["msg"], "message 0");
}

TEST_F(SwaglogTest, ContextFollowsTheEnvironment) {
  emit({"L:20:a"}, {{"DONGLE_ID", "d1"}, {"GIT_BRANCH", "br"}, {"MANAGER_DAEMON", "roadrecd"}, {"CLEAN", ""}});
  emit({"L:20:b"}, {{"GIT_ORIGIN", "o"}, {"GIT_COMMIT", "c0ffee"}});
  auto recs = records();
  ASSERT_EQ(recs.size(), 2u);
  const json &a = recs[0].j["ctx"], &b = recs[1].j["ctx"];
  std::string device = HardwareTalvi::get_name();
  EXPECT_EQ(a, (json{{"dongle_id", "d1"}, {"branch", "br"}, {"daemon", "roadrecd"}, {"version", "0.9.7"},
                     {"dirty", false}, {"device", device}}));
  EXPECT_EQ(b, (json{{"origin", "o"}, {"commit", "c0ffee"}, {"version", "0.9.7"}, {"dirty", true},
                     {"device", device}}));
}

TEST_F(SwaglogTest, LogprintChoosesWhatIsPrinted) {
  struct {
    const char *logprint;  // nullptr: unset
    std::string expected_out;
  } cases[] = {
      {nullptr, "emit.cc: warn\nemit.cc: err\n"},
      {"warning", "emit.cc: warn\nemit.cc: err\n"},
      {"bogus", "emit.cc: warn\nemit.cc: err\n"},
      {"info", "emit.cc: info\nemit.cc: warn\nemit.cc: err\n"},
      {"debug", "emit.cc: dbg\nemit.cc: info\nemit.cc: warn\nemit.cc: err\n"},
  };
  for (const auto &c : cases) {
    std::map<std::string, std::string> env;
    if (c.logprint) env["LOGPRINT"] = c.logprint;
    RunResult r = emit({"L:10:dbg", "L:20:info", "L:30:warn", "L:40:err"}, env);
    EXPECT_EQ(r.out, c.expected_out) << (c.logprint ? c.logprint : "(unset)");
    EXPECT_EQ(records().size(), 4u) << "every level is sent whatever is printed";
  }
}

TEST_F(SwaglogTest, TimestampEventsOnlyWithLogTimestamps) {
  RunResult off = emit({"T:30:no ts", "F:30:7:no ts either"}, {{"LOGPRINT", "debug"}});
  EXPECT_EQ(off.out, "");
  EXPECT_TRUE(records(300).empty());

  RunResult on = emit({"T:30:event a", "F:10:7:event b"}, {{"LOG_TIMESTAMPS", ""}});
  EXPECT_EQ(on.out, "emit.cc: event a\n");  // the plain text is printed, not the object
  auto recs = records();
  ASSERT_EQ(recs.size(), 2u);
  const json &a = recs[0].j["msg"]["timestamp"], &b = recs[1].j["msg"]["timestamp"];
  EXPECT_EQ(a["event"], "event a");
  ASSERT_TRUE(a["time"].is_string());
  EXPECT_GT(std::stoull(a["time"].get<std::string>()), 0u);
  EXPECT_FALSE(a.contains("frame_id"));
  EXPECT_EQ(b["event"], "event b");
  EXPECT_EQ(b["frame_id"], json("7"));  // a string, not the number 7
  EXPECT_EQ(recs[1].level_byte, 10);
}

TEST_F(SwaglogTest, PrintedLinesSurviveAnAbnormalEnd) {
  // Standard output is a pipe here, so fully buffered: only a flush per line saves them.
  RunResult r = emit({"L:30:first words", "L:40:last words", "A:"});
  EXPECT_TRUE(!r.exited && r.signal != 0);
  EXPECT_EQ(r.out, "emit.cc: first words\nemit.cc: last words\n");
}

TEST_F(SwaglogTest, EmptyMessageSendsNothing) {
  RunResult r = emit({"E:40"});
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(records(300).empty());
}

TEST_F(SwaglogTest, CallerNeverBlocksWithoutACollector) {
  // Nobody bound on this endpoint: every send is dropped, the program still finishes.
  RunResult r = emit({"N:20000"}, {{"TAVRIN_PREFIX", prefix_.name() + "_nobody"}});
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.status, 0);
}

TEST(HardwareName, DropsMakerPrefixLengthWithoutComparing) {
  TestDir dir;
  struct {
    std::string content, name;
  } cases[] = {
      {"norvik roadcam 2", "roadcam 2"},
      {"abcdefgXYZ\n", "XYZ\n"},  // the prefix is not compared, the rest is not trimmed
      {"norvik ", ""},
      {"short", ""},
  };
  for (const auto &c : cases) {
    util::write_file((dir / "model").c_str(), c.content.data(), c.content.size());
    EXPECT_EQ(HardwareTalvi::get_name(dir / "model"), c.name) << c.content;
  }
  EXPECT_EQ(HardwareTalvi::get_name(dir / "missing"), "");
}

}  // namespace
