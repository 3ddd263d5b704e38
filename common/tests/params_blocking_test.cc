// The blocking read: waits for a non-empty value, and gives up on SIGINT/SIGTERM while it owns
// those signals, handing them back afterwards.

#include <gtest/gtest.h>

#include <csignal>
#include <future>

#include "common/params.h"
#include "common/tests/params_test_util.h"

namespace {

volatile sig_atomic_t own_handler_calls = 0;
void own_handler(int) { own_handler_calls = own_handler_calls + 1; }

using Handler = void (*)(int);
Handler current_handler(int sig) {
  struct sigaction sa = {};
  sigaction(sig, nullptr, &sa);
  return sa.sa_handler;
}

// The blocking get has taken both signals over: it is inside its wait loop.
bool get_owns_signals() { return current_handler(SIGINT) != own_handler && current_handler(SIGTERM) != own_handler; }

class ParamsBlockingGet : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    own_handler_calls = 0;
    prev_int = std::signal(SIGINT, own_handler);
    prev_term = std::signal(SIGTERM, own_handler);
  }
  void TearDown() override {
    std::signal(SIGINT, prev_int);
    std::signal(SIGTERM, prev_term);
  }

  ParamsTestRoot tmp;
  ScopedEnv no_prefix{"TAVRIN_PREFIX", std::nullopt};
  Params params{tmp.root()};
  Handler prev_int = SIG_DFL, prev_term = SIG_DFL;
};

}  // namespace

TEST_P(ParamsBlockingGet, SignalEndsWaitAndRestoresHandlers) {
  const int sig = GetParam();
  ASSERT_EQ(params.put("DashcamDebug", ""), 0);  // an empty value keeps it waiting too
  auto result = std::async(std::launch::async, [&] { return params.get("DashcamDebug", true); });
  ASSERT_TRUE(wait_until(get_owns_signals)) << "blocking get never took the signals over";

  kill(getpid(), sig);
  ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(result.get(), "");
  EXPECT_EQ(current_handler(SIGINT), own_handler);
  EXPECT_EQ(current_handler(SIGTERM), own_handler);
  EXPECT_EQ(own_handler_calls, 0) << "a signal taken by the blocking get reached the previous handler";

  // The handlers are really back: the next signal goes to them.
  kill(getpid(), sig);
  EXPECT_TRUE(wait_until([] { return own_handler_calls == 1; }));
}

INSTANTIATE_TEST_SUITE_P(Signals, ParamsBlockingGet, ::testing::Values(SIGINT, SIGTERM),
                         [](const auto &info) { return std::string(info.param == SIGINT ? "SIGINT" : "SIGTERM"); });

TEST_F(ParamsBlockingGet, ReturnsOnceValueIsNonEmpty) {
  ASSERT_EQ(params.put("DashcamShutdown", ""), 0);
  auto result = std::async(std::launch::async, [&] { return params.getBool("DashcamShutdown", true); });
  ASSERT_TRUE(wait_until(get_owns_signals));
  // Give the reader a few polls of the empty value, where a wrong reading would end the wait.
  EXPECT_EQ(result.wait_for(std::chrono::milliseconds(350)), std::future_status::timeout);

  ASSERT_EQ(params.putBool("DashcamShutdown", true), 0);
  ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_TRUE(result.get());
  EXPECT_EQ(current_handler(SIGINT), own_handler);
  EXPECT_EQ(current_handler(SIGTERM), own_handler);
}

// A value already there is returned at once, and a value-less wait still ends on a signal even
// when one arrived at a previous wait (the flag is reset at every start).
TEST_F(ParamsBlockingGet, FlagResetsBetweenWaits) {
  for (int round = 0; round < 2; round++) {
    auto result = std::async(std::launch::async, [&] { return params.get("NeverWritten", true); });
    ASSERT_TRUE(wait_until(get_owns_signals));
    kill(getpid(), SIGINT);
    ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(result.get(), "");
    ASSERT_EQ(params.put("DashcamDebug", "there"), 0);
    EXPECT_EQ(params.get("DashcamDebug", true), "there");
  }
  EXPECT_EQ(own_handler_calls, 0);
}
