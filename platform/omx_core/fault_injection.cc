#include "fault_injection.h"

#include <cstdlib>

namespace omx_core {

namespace {

// Requests and creations so far in this process.
int requests = 0;
int created = 0;

bool parse_count(const std::string &text, int min, int *out) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 9)
    return false;
  *out = std::stoi(text);
  return *out >= min;
}

bool parse_state(const std::string &text, OMX_STATETYPE *out) {
  if (text == "Idle")
    *out = OMX_StateIdle;
  else if (text == "Executing")
    *out = OMX_StateExecuting;
  else if (text == "Loaded")
    *out = OMX_StateLoaded;
  else
    return false;
  return true;
}

// Applies one "<kind>[@<arg>][/<components>]" to `plan`; false when it does not parse.
bool apply(const std::string &fault, int component_index, FaultPlan *plan, bool *no_component) {
  std::string body = fault;
  int components = -1;
  size_t slash = body.find('/');
  if (slash != std::string::npos) {
    if (!parse_count(body.substr(slash + 1), 1, &components)) return false;
    body = body.substr(0, slash);
  }
  size_t at = body.find('@');
  const std::string kind = body.substr(0, at);
  const bool has_arg = at != std::string::npos;
  const std::string arg = has_arg ? body.substr(at + 1) : "";
  const bool applies = components < 0 || component_index < components;

  if (kind == "no_component") {
    if (components >= 0) return false;
    int first = 0;
    if (has_arg && !parse_count(arg, 1, &first)) return false;
    if (!has_arg || requests <= first) *no_component = true;
    return true;
  }
  if (!has_arg) return false;
  FaultPlan parsed;
  bool ok;
  if (kind == "stall_output") {
    ok = parse_count(arg, 0, &parsed.stall_after_frames);
  } else if (kind == "error") {
    ok = parse_count(arg, 1, &parsed.error_at_frame);
  } else if (kind == "refuse_state") {
    ok = parse_state(arg, &parsed.refuse_state);
  } else if (kind == "ignore_state") {
    ok = parse_state(arg, &parsed.ignore_state);
  } else {
    ok = false;
  }
  if (!ok || !applies) return ok;
  if (parsed.stall_after_frames >= 0) plan->stall_after_frames = parsed.stall_after_frames;
  if (parsed.error_at_frame >= 0) plan->error_at_frame = parsed.error_at_frame;
  if (parsed.refuse_state != OMX_StateInvalid) plan->refuse_state = parsed.refuse_state;
  if (parsed.ignore_state != OMX_StateInvalid) plan->ignore_state = parsed.ignore_state;
  return true;
}

}  // namespace

OMX_ERRORTYPE plan_next_component(FaultPlan *plan, std::string *error) {
  *plan = FaultPlan();
  requests++;
  const char *value = getenv("OMX_STANDIN_FAULT");
  bool no_component = false;
  if (value && *value) {
    const std::string list = value;
    size_t start = 0;
    while (start <= list.size()) {
      size_t end = list.find(',', start);
      if (end == std::string::npos) end = list.size();
      const std::string fault = list.substr(start, end - start);
      if (!apply(fault, created, plan, &no_component)) {
        *error = "OMX_STANDIN_FAULT: cannot read \"" + fault + "\" in \"" + list + "\"";
        return OMX_ErrorBadParameter;
      }
      start = end + 1;
    }
  }
  if (no_component) return OMX_ErrorInsufficientResources;
  created++;
  return OMX_ErrorNone;
}

}  // namespace omx_core
