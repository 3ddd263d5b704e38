// The OpenMAX IL core: creates and destroys the two encoder components by name. Like the device's
// core it needs no OMX_Init before OMX_GetHandle, and it serves a limited number of simultaneous
// encoder sessions, as the hardware does. Faults for tests are injected through
// OMX_STANDIN_FAULT (fault_injection.h).

#include <OMX_Component.h>
#include <OMX_Core.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <set>

#include "encoder_component.h"

using omx_core::Codec;
using omx_core::EncoderComponent;

namespace {

constexpr size_t kMaxSessions = 4;

std::mutex core_lock;
std::set<OMX_HANDLETYPE> &live_handles() {
  static std::set<OMX_HANDLETYPE> handles;
  return handles;
}
int init_count = 0;

}  // namespace

extern "C" {

OMX_ERRORTYPE OMX_Init(void) {
  std::lock_guard<std::mutex> lk(core_lock);
  init_count++;
  return OMX_ErrorNone;
}

OMX_ERRORTYPE OMX_Deinit(void) {
  std::lock_guard<std::mutex> lk(core_lock);
  if (init_count > 0) init_count--;
  return OMX_ErrorNone;
}

OMX_ERRORTYPE OMX_GetHandle(OMX_HANDLETYPE *handle, OMX_STRING name, OMX_PTR app_data, OMX_CALLBACKTYPE *callbacks) {
  if (!handle || !name || !callbacks) return OMX_ErrorBadParameter;
  *handle = nullptr;
  Codec codec;
  if (strcmp(name, "OMX.qcom.video.encoder.avc") == 0) {
    codec = Codec::AVC;
  } else if (strcmp(name, "OMX.qcom.video.encoder.hevc") == 0) {
    codec = Codec::HEVC;
  } else {
    return OMX_ErrorComponentNotFound;
  }
  std::lock_guard<std::mutex> lk(core_lock);
  if (live_handles().size() >= kMaxSessions) return OMX_ErrorInsufficientResources;
  omx_core::FaultPlan faults;
  std::string fault_error;
  OMX_ERRORTYPE planned = omx_core::plan_next_component(&faults, &fault_error);
  if (!fault_error.empty()) fprintf(stderr, "%s\n", fault_error.c_str());
  if (planned != OMX_ErrorNone) return planned;
  auto backend = codec == Codec::AVC ? omx_core::make_x264_backend() : omx_core::make_x265_backend();
  auto *c = new (std::nothrow) EncoderComponent(name, codec, std::move(backend), callbacks, app_data, faults);
  if (!c) return OMX_ErrorInsufficientResources;
  *handle = c->handle();
  live_handles().insert(*handle);
  return OMX_ErrorNone;
}

OMX_ERRORTYPE OMX_FreeHandle(OMX_HANDLETYPE handle) {
  std::lock_guard<std::mutex> lk(core_lock);
  if (!handle || live_handles().erase(handle) == 0) return OMX_ErrorBadParameter;
  delete EncoderComponent::from(handle);
  return OMX_ErrorNone;
}

}  // extern "C"
