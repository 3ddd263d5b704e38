// The software encoder components through the OpenMAX IL interface only, as a client sees them.

#include <OMX_Component.h>
#include <OMX_Core.h>

#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "omx_client.h"
#include "tests/support/x265_leak_suppression.h"

namespace {

// Annex-B NAL units of a buffer.
std::vector<std::vector<uint8_t>> nal_units(const uint8_t *p, size_t n) {
  std::vector<std::vector<uint8_t>> out;
  size_t i = 0, start = SIZE_MAX;
  while (i + 3 <= n) {
    if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) {
      if (start != SIZE_MAX) {
        size_t end = i;
        while (end > start && p[end - 1] == 0) end--;
        out.emplace_back(p + start, p + end);
      }
      i += 3;
      start = i;
    } else {
      i++;
    }
  }
  if (start != SIZE_MAX && start < n) out.emplace_back(p + start, p + n);
  return out;
}

std::vector<int> avc_types(const OMX_BUFFERHEADERTYPE *b) {
  std::vector<int> t;
  for (auto &u : nal_units(b->pBuffer + b->nOffset, b->nFilledLen)) t.push_back(u[0] & 0x1F);
  return t;
}

std::vector<int> hevc_types(const OMX_BUFFERHEADERTYPE *b) {
  std::vector<int> t;
  for (auto &u : nal_units(b->pBuffer + b->nOffset, b->nFilledLen)) t.push_back((u[0] >> 1) & 0x3F);
  return t;
}

void set_avc(OmxClient &c, OMX_VIDEO_AVCPROFILETYPE profile, bool cabac, OMX_U32 p_frames,
             OMX_VIDEO_AVCLEVELTYPE level = OMX_VIDEO_AVCLevel31) {
  OMX_VIDEO_PARAM_AVCTYPE avc;
  OmxClient::init(avc, 1);
  ASSERT_EQ(OMX_GetParameter(c.handle, OMX_IndexParamVideoAvc, &avc), OMX_ErrorNone);
  avc.nPFrames = p_frames;
  avc.nBFrames = 0;
  avc.nRefFrames = 1;
  avc.eProfile = profile;
  avc.eLevel = level;
  avc.bEntropyCodingCABAC = cabac ? OMX_TRUE : OMX_FALSE;
  ASSERT_EQ(OMX_SetParameter(c.handle, OMX_IndexParamVideoAvc, &avc), OMX_ErrorNone);
}

// Collects outputs up to and including the end-of-stream one, copying each before handing the
// buffer back.
struct Output {
  OMX_U32 flags;
  OMX_TICKS ts;
  std::vector<int> types;
  std::vector<uint8_t> data;
};
std::vector<Output> outputs_until_eos(OmxClient &c, bool hevc = false) {
  std::vector<Output> v;
  while (true) {
    OMX_BUFFERHEADERTYPE *b = c.await_buffer(1);
    if (!b) {
      ADD_FAILURE() << "no end of stream";
      return v;
    }
    v.push_back({b->nFlags, b->nTimeStamp, hevc ? hevc_types(b) : avc_types(b),
                 std::vector<uint8_t>(b->pBuffer + b->nOffset, b->pBuffer + b->nOffset + b->nFilledLen)});
    EXPECT_EQ(OMX_FillThisBuffer(c.handle, b), OMX_ErrorNone);
    if (b->nFlags & OMX_BUFFERFLAG_EOS) return v;
  }
}

}  // namespace

TEST(OmxComponentTest, StateMachineWaitsForBuffersAndReportsFromItsOwnThread) {
  OmxClient c;
  ASSERT_EQ(c.get_handle_result, OMX_ErrorNone);
  ASSERT_EQ(c.configure(176, 144, 10, 500000), OMX_ErrorNone);
  ASSERT_EQ(OMX_SendCommand(c.handle, OMX_CommandStateSet, OMX_StateIdle, NULL), OMX_ErrorNone);
  ASSERT_TRUE(c.allocate(0, c.in_def.nBufferCountActual, c.in_def.nBufferSize, c.in));
  ASSERT_TRUE(c.allocate(1, c.out_def.nBufferCountActual - 1, c.out_def.nBufferSize, c.out));
  // One output buffer short: the component cannot be idle yet.
  OMX_STATETYPE s;
  ASSERT_EQ(OMX_GetState(c.handle, &s), OMX_ErrorNone);
  EXPECT_EQ(s, OMX_StateLoaded);
  ASSERT_TRUE(c.allocate(1, 1, c.out_def.nBufferSize, c.out));
  ASSERT_TRUE(c.await_state(OMX_StateIdle));
  ASSERT_TRUE(c.to_executing());
  ASSERT_EQ(OMX_GetState(c.handle, &s), OMX_ErrorNone);
  EXPECT_EQ(s, OMX_StateExecuting);
  ASSERT_TRUE(c.to_loaded());
  EXPECT_FALSE(c.callbacks_on_test_thread());
}

TEST(OmxComponentTest, InvalidTransitionsAreReportedAsErrorEvents) {
  OmxClient c;
  ASSERT_EQ(c.configure(176, 144, 10, 500000), OMX_ErrorNone);
  OmxEvent e;
  ASSERT_EQ(OMX_SendCommand(c.handle, OMX_CommandStateSet, OMX_StateExecuting, NULL), OMX_ErrorNone);
  ASSERT_TRUE(c.await_event(OMX_EventError, ~(OMX_U32)0, &e));
  EXPECT_EQ(e.data1, (OMX_U32)OMX_ErrorIncorrectStateTransition);
  ASSERT_EQ(OMX_SendCommand(c.handle, OMX_CommandStateSet, OMX_StateLoaded, NULL), OMX_ErrorNone);
  ASSERT_TRUE(c.await_event(OMX_EventError, ~(OMX_U32)0, &e));
  EXPECT_EQ(e.data1, (OMX_U32)OMX_ErrorSameState);
  // Still usable afterwards.
  ASSERT_TRUE(c.to_idle());
  ASSERT_TRUE(c.to_loaded());
}

TEST(OmxComponentTest, WrongCallsGetTheStandardErrorCodes) {
  OMX_CALLBACKTYPE cb = {nullptr, nullptr, nullptr};
  OMX_HANDLETYPE h;
  EXPECT_EQ(OMX_GetHandle(&h, (OMX_STRING) "OMX.qcom.video.decoder.avc", nullptr, &cb), OMX_ErrorComponentNotFound);
  EXPECT_EQ(OMX_GetHandle(nullptr, (OMX_STRING) "OMX.qcom.video.encoder.avc", nullptr, &cb), OMX_ErrorBadParameter);
  OMX_COMPONENTTYPE foreign{};
  EXPECT_EQ(OMX_FreeHandle(&foreign), OMX_ErrorBadParameter);

  OmxClient c;
  ASSERT_EQ(c.configure(176, 144, 10, 500000), OMX_ErrorNone);
  OMX_PARAM_PORTDEFINITIONTYPE def;
  OmxClient::init(def, 0);
  def.nSize = 176;  // the structure as a client built with an 8-byte OMX_U32 would pass it
  EXPECT_EQ(OMX_GetParameter(c.handle, OMX_IndexParamPortDefinition, &def), OMX_ErrorBadParameter);
  OmxClient::init(def, 7);
  EXPECT_EQ(OMX_GetParameter(c.handle, OMX_IndexParamPortDefinition, &def), OMX_ErrorBadPortIndex);
  EXPECT_EQ(OMX_GetParameter(c.handle, OMX_IndexParamAudioPcm, &def), OMX_ErrorUnsupportedIndex);
  EXPECT_EQ(OMX_GetParameter(c.handle, OMX_IndexParamPortDefinition, nullptr), OMX_ErrorBadParameter);

  // Settings this encoder cannot honour.
  OMX_VIDEO_PARAM_AVCTYPE avc;
  OmxClient::init(avc, 1);
  ASSERT_EQ(OMX_GetParameter(c.handle, OMX_IndexParamVideoAvc, &avc), OMX_ErrorNone);
  avc.nBFrames = 2;
  EXPECT_EQ(OMX_SetParameter(c.handle, OMX_IndexParamVideoAvc, &avc), OMX_ErrorUnsupportedSetting);
  OMX_PARAM_PORTDEFINITIONTYPE in = c.in_def;
  in.format.video.nFrameWidth = 175;
  EXPECT_EQ(OMX_SetParameter(c.handle, OMX_IndexParamPortDefinition, &in), OMX_ErrorUnsupportedSetting);
  in = c.in_def;
  in.format.video.eColorFormat = OMX_COLOR_FormatYUV420Planar;
  EXPECT_EQ(OMX_SetParameter(c.handle, OMX_IndexParamPortDefinition, &in), OMX_ErrorUnsupportedSetting);

  // Buffers only once idle was asked for, of the port's size at least, no more than its count.
  OMX_BUFFERHEADERTYPE *b = nullptr;
  EXPECT_EQ(OMX_AllocateBuffer(c.handle, &b, 0, nullptr, c.in_def.nBufferSize), OMX_ErrorIncorrectStateOperation);
  ASSERT_EQ(OMX_SendCommand(c.handle, OMX_CommandStateSet, OMX_StateIdle, NULL), OMX_ErrorNone);
  EXPECT_EQ(OMX_AllocateBuffer(c.handle, &b, 2, nullptr, c.in_def.nBufferSize), OMX_ErrorBadPortIndex);
  EXPECT_EQ(OMX_AllocateBuffer(c.handle, &b, 0, nullptr, c.in_def.nBufferSize - 1), OMX_ErrorBadParameter);
  ASSERT_TRUE(c.allocate(0, c.in_def.nBufferCountActual, c.in_def.nBufferSize, c.in));
  EXPECT_EQ(OMX_AllocateBuffer(c.handle, &b, 0, nullptr, c.in_def.nBufferSize), OMX_ErrorInsufficientResources);
  ASSERT_TRUE(c.allocate(1, c.out_def.nBufferCountActual, c.out_def.nBufferSize, c.out));
  ASSERT_TRUE(c.await_state(OMX_StateIdle));
  EXPECT_EQ(OMX_SetParameter(c.handle, OMX_IndexParamPortDefinition, &c.in_def), OMX_ErrorIncorrectStateOperation);

  // Buffer hand-over: only the component's own headers, on their own port, once at a time.
  OMX_BUFFERHEADERTYPE fake = *c.out[0];
  EXPECT_EQ(OMX_FillThisBuffer(c.handle, &fake), OMX_ErrorBadParameter);
  EXPECT_EQ(OMX_EmptyThisBuffer(c.handle, c.out[0]), OMX_ErrorBadPortIndex);
  fake.nSize = 0;
  EXPECT_EQ(OMX_FillThisBuffer(c.handle, &fake), OMX_ErrorBadParameter);
  c.in[0]->nFilledLen = c.in[0]->nAllocLen + 1;
  EXPECT_EQ(OMX_EmptyThisBuffer(c.handle, c.in[0]), OMX_ErrorBadParameter);
  EXPECT_EQ(OMX_FillThisBuffer(c.handle, c.out[0]), OMX_ErrorNone);
  EXPECT_EQ(OMX_FillThisBuffer(c.handle, c.out[0]), OMX_ErrorIncorrectStateOperation);

  EXPECT_EQ(OMX_SendCommand(c.handle, OMX_CommandFlush, 9, NULL), OMX_ErrorBadPortIndex);
  EXPECT_EQ(OMX_SendCommand(c.handle, OMX_CommandPortDisable, 0, NULL), OMX_ErrorNotImplemented);
  ASSERT_TRUE(c.to_loaded());
}

TEST(OmxComponentTest, AvcOutputHasConfigurationFirstSyncFlagsTimestampsAndEndOfStreamLast) {
  OmxClient c;
  // The road camera's frame: level 3.1 is too low for it, level 5 is the first that fits.
  ASSERT_EQ(c.configure(1928, 1208, 10, 2560000), OMX_ErrorNone);
  EXPECT_EQ(c.in_def.nBufferSize, 3756032u);
  set_avc(c, OMX_VIDEO_AVCProfileHigh, true, 4);
  start(c);
  OMX_VIDEO_PARAM_AVCTYPE avc;
  OmxClient::init(avc, 1);
  ASSERT_EQ(OMX_GetParameter(c.handle, OMX_IndexParamVideoAvc, &avc), OMX_ErrorNone);
  EXPECT_EQ(avc.eLevel, OMX_VIDEO_AVCLevel5);

  const int n = 7;
  for (int i = 0; i < n; i++) {
    OMX_BUFFERHEADERTYPE *b = i < (int)c.in.size() ? c.in[i] : c.await_buffer(0);
    ASSERT_NE(b, nullptr);
    ASSERT_EQ(submit_frame(c, b, i, 100000 * (i + 1)), OMX_ErrorNone);
  }
  OMX_BUFFERHEADERTYPE *last = c.await_buffer(0);
  ASSERT_NE(last, nullptr);
  ASSERT_EQ(submit_eos(c, last, 100000 * (n + 1)), OMX_ErrorNone);
  std::vector<Output> out = outputs_until_eos(c);

  ASSERT_EQ((int)out.size(), n + 2);
  // Parameter sets only, no SEI: SPS with High profile and level 5, PPS with CABAC.
  EXPECT_EQ(out[0].flags & OMX_BUFFERFLAG_CODECCONFIG, (OMX_U32)OMX_BUFFERFLAG_CODECCONFIG);
  EXPECT_EQ(out[0].types, (std::vector<int>{7, 8}));
  auto ps = nal_units(out[0].data.data(), out[0].data.size());
  ASSERT_EQ(ps.size(), 2u);
  EXPECT_EQ(ps[0][1], 100);  // profile_idc
  EXPECT_EQ(ps[0][3], 50);   // level_idc
  EXPECT_TRUE(ps[1][1] & 0x20);  // entropy_coding_mode_flag after two one-bit ue(v) ids
  for (int i = 0; i < n; i++) {
    const Output &o = out[i + 1];
    EXPECT_EQ(o.ts, 100000 * (i + 1)) << i;
    bool sync = i % 5 == 0;
    EXPECT_EQ((o.flags & OMX_BUFFERFLAG_SYNCFRAME) != 0, sync) << i;
    EXPECT_TRUE(o.flags & OMX_BUFFERFLAG_ENDOFFRAME) << i;
    EXPECT_EQ(o.types, std::vector<int>{sync ? 5 : 1}) << i;
  }
  EXPECT_EQ(out[n + 1].flags, (OMX_U32)OMX_BUFFERFLAG_EOS);
  EXPECT_EQ(out[n + 1].data.size(), 0u);
  EXPECT_EQ(out[n + 1].ts, 100000 * (n + 1));

  // The stream goes on after the end of stream (the next segment), without a new configuration.
  OMX_BUFFERHEADERTYPE *b = c.await_buffer(0);
  ASSERT_NE(b, nullptr);
  ASSERT_EQ(submit_frame(c, b, n, 50000), OMX_ErrorNone);
  b = c.await_buffer(0);
  ASSERT_NE(b, nullptr);
  ASSERT_EQ(submit_eos(c, b, 150000), OMX_ErrorNone);
  out = outputs_until_eos(c);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].ts, 50000);
  EXPECT_EQ(out[0].flags & OMX_BUFFERFLAG_CODECCONFIG, 0u);
  ASSERT_TRUE(c.to_loaded());
  EXPECT_FALSE(c.callbacks_on_test_thread());
}

TEST(OmxComponentTest, SyncFrameOnRequestRestartsTheGroupOfPictures) {
  OmxClient c;
  ASSERT_EQ(c.configure(320, 240, 10, 500000), OMX_ErrorNone);
  set_avc(c, OMX_VIDEO_AVCProfileHigh, true, 4);  // sync frames every 5 frames

  OMX_CONFIG_INTRAREFRESHVOPTYPE refresh;
  OmxClient::init(refresh, 0);
  refresh.IntraRefreshVOP = OMX_TRUE;
  EXPECT_EQ(OMX_SetConfig(c.handle, OMX_IndexConfigVideoIntraVOPRefresh, &refresh), OMX_ErrorBadPortIndex);
  refresh.nPortIndex = 1;
  refresh.nSize = 24;  // the structure as a client built with an 8-byte OMX_U32 would pass it
  EXPECT_EQ(OMX_SetConfig(c.handle, OMX_IndexConfigVideoIntraVOPRefresh, &refresh), OMX_ErrorBadParameter);
  refresh.nSize = sizeof(refresh);
  EXPECT_EQ(OMX_SetConfig(c.handle, OMX_IndexConfigVideoFramerate, &refresh), OMX_ErrorUnsupportedIndex);
  start(c);

  // Frames 0..2, then a request, then frames 3..8: sync at 0, at 3 (requested), and 5 frames on at 8.
  size_t fresh = 0;  // input buffers not yet handed to the component
  auto next_input = [&] { return fresh < c.in.size() ? c.in[fresh++] : c.await_buffer(0); };
  auto submit = [&](int i) {
    OMX_BUFFERHEADERTYPE *b = next_input();
    ASSERT_NE(b, nullptr);
    ASSERT_EQ(submit_frame(c, b, i, 100000 * (i + 1)), OMX_ErrorNone);
  };
  for (int i = 0; i < 3; i++) submit(i);
  std::vector<Output> out;
  while (out.size() < 4) {  // configuration + three frames, before the request is made
    OMX_BUFFERHEADERTYPE *b = c.await_buffer(1);
    ASSERT_NE(b, nullptr);
    out.push_back({b->nFlags, b->nTimeStamp, avc_types(b), {}});
    ASSERT_EQ(OMX_FillThisBuffer(c.handle, b), OMX_ErrorNone);
  }
  ASSERT_EQ(OMX_SetConfig(c.handle, OMX_IndexConfigVideoIntraVOPRefresh, &refresh), OMX_ErrorNone);
  for (int i = 3; i < 9; i++) submit(i);
  OMX_BUFFERHEADERTYPE *last = next_input();
  ASSERT_NE(last, nullptr);
  ASSERT_EQ(submit_eos(c, last, 100000 * 10), OMX_ErrorNone);
  std::vector<Output> rest = outputs_until_eos(c);
  out.insert(out.end(), rest.begin(), rest.end());

  ASSERT_EQ(out.size(), 11u);  // configuration, 9 frames, end of stream
  for (int i = 0; i < 9; i++) {
    bool sync = i == 0 || i == 3 || i == 8;
    EXPECT_EQ((out[i + 1].flags & OMX_BUFFERFLAG_SYNCFRAME) != 0, sync) << i;
    EXPECT_EQ(out[i + 1].types, std::vector<int>{sync ? 5 : 1}) << i;
  }
  ASSERT_TRUE(c.to_loaded());
}

struct ToolCase {
  OMX_VIDEO_AVCPROFILETYPE profile;
  bool cabac_requested;
  int profile_idc;
  bool cabac_coded;
};

class OmxAvcToolsTest : public ::testing::TestWithParam<ToolCase> {};

TEST_P(OmxAvcToolsTest, StreamCarriesTheRequestedProfileAndEntropyCoding) {
  const ToolCase t = GetParam();
  OmxClient c;
  ASSERT_EQ(c.configure(176, 144, 10, 500000), OMX_ErrorNone);
  set_avc(c, t.profile, t.cabac_requested, 15);
  start(c);
  ASSERT_EQ(submit_frame(c, c.in[0], 0, 1000), OMX_ErrorNone);
  ASSERT_EQ(submit_eos(c, c.in[1], 2000), OMX_ErrorNone);
  std::vector<Output> out = outputs_until_eos(c);
  ASSERT_EQ(out.size(), 3u);
  auto ps = nal_units(out[0].data.data(), out[0].data.size());
  ASSERT_EQ(ps.size(), 2u);
  EXPECT_EQ(ps[0][1], t.profile_idc);
  EXPECT_EQ((ps[1][1] & 0x20) != 0, t.cabac_coded);
  ASSERT_TRUE(c.to_loaded());
}

INSTANTIATE_TEST_SUITE_P(Profiles, OmxAvcToolsTest,
                         ::testing::Values(ToolCase{OMX_VIDEO_AVCProfileHigh, true, 100, true},
                                           ToolCase{OMX_VIDEO_AVCProfileHigh, false, 100, false},
                                           ToolCase{OMX_VIDEO_AVCProfileMain, true, 77, true},
                                           ToolCase{OMX_VIDEO_AVCProfileBaseline, true, 66, false}));

TEST(OmxComponentTest, BadInputGivesAnErrorEventAndEncodingGoesOn) {
  OmxClient c;
  ASSERT_EQ(c.configure(176, 144, 10, 500000), OMX_ErrorNone);
  start(c);
  c.in[0]->nFilledLen = 100;  // far less than one picture
  c.in[0]->nOffset = 0;
  c.in[0]->nFlags = OMX_BUFFERFLAG_ENDOFFRAME;
  c.in[0]->nTimeStamp = 1000;
  ASSERT_EQ(OMX_EmptyThisBuffer(c.handle, c.in[0]), OMX_ErrorNone);
  OmxEvent e;
  ASSERT_TRUE(c.await_event(OMX_EventError, ~(OMX_U32)0, &e));
  EXPECT_EQ(e.data1, (OMX_U32)OMX_ErrorStreamCorrupt);
  EXPECT_EQ(c.await_buffer(0), c.in[0]);

  ASSERT_EQ(submit_frame(c, c.in[1], 1, 2000), OMX_ErrorNone);
  ASSERT_EQ(submit_eos(c, c.in[2], 3000), OMX_ErrorNone);
  std::vector<Output> out = outputs_until_eos(c);
  ASSERT_EQ(out.size(), 3u);  // configuration, the good picture, end of stream
  EXPECT_EQ(out[1].ts, 2000);
  ASSERT_TRUE(c.to_loaded());
}

TEST(OmxComponentTest, IdleAndFlushGiveEveryHeldBufferBack) {
  OmxClient c;
  ASSERT_EQ(c.configure(176, 144, 10, 500000), OMX_ErrorNone);
  start(c);
  ASSERT_EQ(OMX_SendCommand(c.handle, OMX_CommandFlush, 1, NULL), OMX_ErrorNone);
  OmxEvent e;
  ASSERT_TRUE(c.await_event(OMX_EventCmdComplete, OMX_CommandFlush, &e));
  EXPECT_EQ(e.data2, 1u);
  EXPECT_EQ(c.returned(1), c.out.size());
  for (size_t i = 0; i < c.out.size(); i++) {
    OMX_BUFFERHEADERTYPE *b = c.await_buffer(1);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->nFilledLen, 0u);
    ASSERT_EQ(OMX_FillThisBuffer(c.handle, b), OMX_ErrorNone);
  }
  // Every output buffer is with the component again; going idle returns them before idle is reported.
  ASSERT_EQ(OMX_SendCommand(c.handle, OMX_CommandStateSet, OMX_StateIdle, NULL), OMX_ErrorNone);
  ASSERT_TRUE(c.await_state(OMX_StateIdle));
  EXPECT_EQ(c.returned(1), c.out.size());
  ASSERT_TRUE(c.to_loaded());
}

TEST(OmxComponentTest, FreeingABufferWhileExecutingReportsAnUnpopulatedPort) {
  OmxClient c;
  ASSERT_EQ(c.configure(176, 144, 10, 500000), OMX_ErrorNone);
  start(c);
  ASSERT_EQ(OMX_FreeBuffer(c.handle, 1, c.out.back()), OMX_ErrorNone);
  c.out.pop_back();
  OmxEvent e;
  ASSERT_TRUE(c.await_event(OMX_EventError, ~(OMX_U32)0, &e));
  EXPECT_EQ(e.data1, (OMX_U32)OMX_ErrorPortUnpopulated);
  ASSERT_TRUE(c.to_loaded());
}

TEST(OmxComponentTest, HevcOutputHasParameterSetsFirstAndGoesOnAfterEndOfStream) {
  OmxClient c("OMX.qcom.video.encoder.hevc");
  ASSERT_EQ(c.get_handle_result, OMX_ErrorNone);
  ASSERT_EQ(c.configure(176, 144, 10, 500000), OMX_ErrorNone);
  OMX_VIDEO_PARAM_PROFILELEVELTYPE pl;
  OmxClient::init(pl, 1);
  ASSERT_EQ(OMX_GetParameter(c.handle, OMX_IndexParamVideoProfileLevelCurrent, &pl), OMX_ErrorNone);
  pl.eProfile = OMX_VIDEO_HEVCProfileMain;
  pl.eLevel = OMX_VIDEO_HEVCHighTierLevel5;
  ASSERT_EQ(OMX_SetParameter(c.handle, OMX_IndexParamVideoProfileLevelCurrent, &pl), OMX_ErrorNone);
  OMX_VIDEO_PARAM_AVCTYPE avc;
  OmxClient::init(avc, 1);
  EXPECT_EQ(OMX_GetParameter(c.handle, OMX_IndexParamVideoAvc, &avc), OMX_ErrorUnsupportedIndex);
  start(c);

  for (int segment = 0; segment < 2; segment++) {
    for (int i = 0; i < 3; i++) {
      OMX_BUFFERHEADERTYPE *b = segment == 0 ? c.in[i] : c.await_buffer(0);
      ASSERT_NE(b, nullptr);
      ASSERT_EQ(submit_frame(c, b, i, 1000 * (i + 1)), OMX_ErrorNone);
    }
    OMX_BUFFERHEADERTYPE *b = segment == 0 ? c.in[3] : c.await_buffer(0);
    ASSERT_NE(b, nullptr);
    ASSERT_EQ(submit_eos(c, b, 4000), OMX_ErrorNone);
    std::vector<Output> out = outputs_until_eos(c, true);
    ASSERT_GE(out.size(), 5u);
    size_t first = 0;
    if (out[0].flags & OMX_BUFFERFLAG_CODECCONFIG) {
      EXPECT_EQ(out[0].types, (std::vector<int>{32, 33, 34}));  // VPS, SPS, PPS
      first = 1;
    }
    if (segment == 0) {
      EXPECT_EQ(first, 1u);
    }
    ASSERT_EQ(out.size(), first + 4);
    EXPECT_TRUE(out[first].flags & OMX_BUFFERFLAG_SYNCFRAME);
    for (int i = 0; i < 3; i++) EXPECT_EQ(out[first + i].ts, 1000 * (i + 1));
    EXPECT_TRUE(out.back().flags & OMX_BUFFERFLAG_EOS);
  }
  ASSERT_TRUE(c.to_loaded());
}

TEST(OmxComponentTest, CoreServesALimitedNumberOfSessions) {
  std::vector<std::unique_ptr<OmxClient>> clients;
  for (int i = 0; i < 4; i++) {
    clients.push_back(std::make_unique<OmxClient>(i % 2 ? "OMX.qcom.video.encoder.hevc" : "OMX.qcom.video.encoder.avc"));
    ASSERT_EQ(clients.back()->get_handle_result, OMX_ErrorNone);
  }
  OmxClient refused;
  EXPECT_EQ(refused.get_handle_result, OMX_ErrorInsufficientResources);
  EXPECT_EQ(refused.handle, nullptr);
  clients.pop_back();
  OmxClient admitted;
  EXPECT_EQ(admitted.get_handle_result, OMX_ErrorNone);
}
