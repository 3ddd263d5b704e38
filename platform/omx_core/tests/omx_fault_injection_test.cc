// The stand-in's fault switch, through the OpenMAX IL interface only, as a client sees it.

#include <OMX_Component.h>
#include <OMX_Core.h>

#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "omx_client.h"
#include "tests/support/scoped_env.h"

namespace {

// Long enough for a working component to answer many times over; a faulty one never does.
constexpr int kSilenceMs = 300;

OMX_ERRORTYPE get_handle_result() {
  return OmxClient().get_handle_result;
}

}  // namespace

TEST(OmxFaultInjectionTest, StalledComponentKeepsEveryBufferAfterItsFrames) {
  ScopedEnv fault("OMX_STANDIN_FAULT", "stall_output@2");
  OmxClient c;
  ASSERT_EQ(c.configure(176, 144, 10, 500000), OMX_ErrorNone);
  start(c);
  for (int i = 0; i < 3; i++) ASSERT_EQ(submit_frame(c, c.in[i], i, 1000 * (i + 1)), OMX_ErrorNone);
  // The two frames before the stall come out whole, after the parameter sets.
  for (int i = 0; i < 3; i++) {
    OMX_BUFFERHEADERTYPE *b = c.await_buffer(1);
    ASSERT_NE(b, nullptr) << "output " << i;
    EXPECT_EQ(b->nTimeStamp, i == 0 ? 0 : 1000 * i);
  }
  EXPECT_NE(c.await_buffer(0), nullptr);
  EXPECT_NE(c.await_buffer(0), nullptr);
  // Then nothing: not the third input, no output, no answer to a command.
  EXPECT_EQ(c.await_buffer(0, kSilenceMs), nullptr);
  EXPECT_EQ(c.await_buffer(1, kSilenceMs), nullptr);
  ASSERT_EQ(OMX_SendCommand(c.handle, OMX_CommandStateSet, OMX_StateIdle, NULL), OMX_ErrorNone);
  EXPECT_FALSE(c.await_event(OMX_EventCmdComplete, OMX_CommandStateSet, nullptr, kSilenceMs));
  // The handle is still freed (by the client's destructor) without waiting for it.
}

TEST(OmxFaultInjectionTest, ErrorIsReportedOnceAtItsFrameAndEncodingGoesOn) {
  ScopedEnv fault("OMX_STANDIN_FAULT", "error@2");
  OmxClient c;
  ASSERT_EQ(c.configure(176, 144, 10, 500000), OMX_ErrorNone);
  start(c);
  for (int i = 0; i < 3; i++) ASSERT_EQ(submit_frame(c, c.in[i], i, 1000 * (i + 1)), OMX_ErrorNone);
  ASSERT_EQ(submit_eos(c, c.in[3], 4000), OMX_ErrorNone);
  int frames = 0;
  while (OMX_BUFFERHEADERTYPE *b = c.await_buffer(1)) {
    if (b->nFlags & OMX_BUFFERFLAG_EOS) break;
    if (!(b->nFlags & OMX_BUFFERFLAG_CODECCONFIG)) frames++;
    ASSERT_EQ(OMX_FillThisBuffer(c.handle, b), OMX_ErrorNone);
  }
  EXPECT_EQ(frames, 3);
  OmxEvent e;
  ASSERT_TRUE(c.await_event(OMX_EventError, ~(OMX_U32)0, &e));
  EXPECT_EQ(e.data1, (OMX_U32)OMX_ErrorHardware);
  EXPECT_FALSE(c.await_event(OMX_EventError, ~(OMX_U32)0, nullptr, 0)) << "reported more than once";
  ASSERT_TRUE(c.to_loaded());
}

struct StateFault {
  const char *fault;
  OMX_STATETYPE target;
  bool refused;  // an error event; else silence
};

void PrintTo(const StateFault &f, std::ostream *os) {
  *os << f.fault;
}

class OmxStateFaultTest : public ::testing::TestWithParam<StateFault> {};

TEST_P(OmxStateFaultTest, RequestIsRefusedOrNeverCompleted) {
  const StateFault f = GetParam();
  ScopedEnv fault("OMX_STANDIN_FAULT", f.fault);
  OmxClient c;
  ASSERT_EQ(c.configure(176, 144, 10, 500000), OMX_ErrorNone);
  OMX_STATETYPE before = OMX_StateLoaded;
  if (f.target != OMX_StateIdle) {
    ASSERT_TRUE(c.to_idle());
    before = OMX_StateIdle;
  }
  ASSERT_EQ(OMX_SendCommand(c.handle, OMX_CommandStateSet, f.target, NULL), OMX_ErrorNone);
  if (f.target == OMX_StateIdle && !f.refused) {  // accepted: the buffers can be allocated
    ASSERT_TRUE(c.allocate(0, c.in_def.nBufferCountActual, c.in_def.nBufferSize, c.in));
    ASSERT_TRUE(c.allocate(1, c.out_def.nBufferCountActual, c.out_def.nBufferSize, c.out));
  }
  if (f.target == OMX_StateLoaded) {
    for (auto *b : c.in) OMX_FreeBuffer(c.handle, 0, b);
    for (auto *b : c.out) OMX_FreeBuffer(c.handle, 1, b);
    c.in.clear();
    c.out.clear();
  }
  OmxEvent e;
  if (f.refused) {
    ASSERT_TRUE(c.await_event(OMX_EventError, ~(OMX_U32)0, &e));
    EXPECT_EQ(e.data1, (OMX_U32)OMX_ErrorInsufficientResources);
  } else {
    EXPECT_FALSE(c.await_event(OMX_EventCmdComplete, OMX_CommandStateSet, nullptr, kSilenceMs));
  }
  OMX_STATETYPE now;
  ASSERT_EQ(OMX_GetState(c.handle, &now), OMX_ErrorNone);
  EXPECT_EQ(now, before);
}

INSTANTIATE_TEST_SUITE_P(States, OmxStateFaultTest,
                         ::testing::Values(StateFault{"refuse_state@Idle", OMX_StateIdle, true},
                                           StateFault{"ignore_state@Idle", OMX_StateIdle, false},
                                           StateFault{"refuse_state@Executing", OMX_StateExecuting, true},
                                           StateFault{"ignore_state@Executing", OMX_StateExecuting, false},
                                           StateFault{"refuse_state@Loaded", OMX_StateLoaded, true},
                                           StateFault{"ignore_state@Loaded", OMX_StateLoaded, false}),
                         [](const ::testing::TestParamInfo<StateFault> &i) {
                           std::string name = i.param.fault;
                           return name.replace(name.find('@'), 1, "_");
                         });

TEST(OmxFaultInjectionTest, ValueThatDoesNotParseRefusesEveryComponent) {
  for (const char *bad : {"stall_output@x", "stall_output", "error@0", "refuse_state@Pause", "hang@3",
                          "no_component/2", "error@3/0", "error@3,"}) {
    ScopedEnv fault("OMX_STANDIN_FAULT", bad);
    EXPECT_EQ(get_handle_result(), OMX_ErrorBadParameter) << bad;
  }
  ScopedEnv fault("OMX_STANDIN_FAULT", "");
  EXPECT_EQ(get_handle_result(), OMX_ErrorNone);
}

// Faults counted over the process run in a process of their own (a re-run of this test), where
// the count starts at zero.
TEST(OmxFaultInjectionDeathTest, CountsGoByTheRequestsAndComponentsOfTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto sequence = [](const char *faults, std::function<OMX_ERRORTYPE()> request, int n) {
    ScopedEnv fault("OMX_STANDIN_FAULT", faults);
    std::vector<OMX_ERRORTYPE> got;
    for (int i = 0; i < n; i++) got.push_back(request());
    return got;
  };
  auto idle_answer = [] {  // how a component answers its first request for idle
    OmxClient c;
    if (c.get_handle_result != OMX_ErrorNone || c.configure(176, 144, 10, 500000) != OMX_ErrorNone) {
      return OMX_ErrorUndefined;
    }
    if (c.to_idle()) return c.to_loaded() ? OMX_ErrorNone : OMX_ErrorUndefined;
    return OMX_ErrorInsufficientResources;
  };
  auto counts_hold = [&] {
    const OMX_ERRORTYPE none = OMX_ErrorNone, refused = OMX_ErrorInsufficientResources;
    return sequence("no_component@2", get_handle_result, 4) ==
               std::vector<OMX_ERRORTYPE>{refused, refused, none, none} &&
           sequence("no_component", get_handle_result, 2) == std::vector<OMX_ERRORTYPE>{refused, refused} &&
           // Two components made so far: "/3" reaches the next one only.
           sequence("refuse_state@Idle/3", idle_answer, 2) == std::vector<OMX_ERRORTYPE>{refused, none};
  };
  EXPECT_EXIT(exit(counts_hold() ? 0 : 1), ::testing::ExitedWithCode(0), "");
}
