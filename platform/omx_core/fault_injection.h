#pragma once

// Faults the stand-in components can be told to show, for tests of their clients. The switch is
// the environment variable OMX_STANDIN_FAULT, read each time a component is requested
// (OMX_GetHandle):
//
//   OMX_STANDIN_FAULT=<fault>[,<fault>...]
//
//   stall_output@N   after N frames the component keeps every buffer handed to it (input and
//                    output) and answers no command: a hung encoder. N >= 0.
//   error@N          when the component has taken its Nth frame, it reports OMX_EventError
//                    (OMX_ErrorHardware) once and goes on encoding. N >= 1.
//   refuse_state@S   a request for state S (Idle, Executing or Loaded) is answered with
//                    OMX_EventError (OMX_ErrorInsufficientResources); the state stays.
//   ignore_state@S   a request for state S is accepted and never completed.
//   no_component     OMX_GetHandle fails with OMX_ErrorInsufficientResources.
//   no_component@K   OMX_GetHandle fails for the first K requests of the process, then works.
//
// A fault other than no_component may end in "/C": it applies to the first C components the
// process creates only (for example "stall_output@20/1": the first encoder hangs after 20
// frames, the ones after it work). Frames are counted per component, from its creation, over
// all its segments. A value that does not parse makes OMX_GetHandle fail with
// OMX_ErrorBadParameter and a message on standard error, so a mistyped test cannot pass
// without its fault.

#include <OMX_Core.h>

#include <string>

namespace omx_core {

// What one component is to do wrong; the defaults do nothing wrong.
struct FaultPlan {
  int stall_after_frames = -1;
  int error_at_frame = -1;
  OMX_STATETYPE refuse_state = OMX_StateInvalid;
  OMX_STATETYPE ignore_state = OMX_StateInvalid;
};

// Reads OMX_STANDIN_FAULT for a component about to be made and counts the request. Returns
// OMX_ErrorNone with the component's plan, OMX_ErrorInsufficientResources when no component
// is to be had, or OMX_ErrorBadParameter (with `error`) when the value does not parse.
// Callers serialise the calls.
OMX_ERRORTYPE plan_next_component(FaultPlan *plan, std::string *error);

}  // namespace omx_core
