#pragma once

// Sets the stand-in's fault switch (OMX_STANDIN_FAULT, see platform/omx_core/fault_injection.h)
// for the life of the object: components requested meanwhile take it.

#include <cstdlib>
#include <string>

class ScopedFault {
 public:
  explicit ScopedFault(const std::string &faults) { setenv("OMX_STANDIN_FAULT", faults.c_str(), 1); }
  ~ScopedFault() { unsetenv("OMX_STANDIN_FAULT"); }
  ScopedFault(const ScopedFault &) = delete;
  ScopedFault &operator=(const ScopedFault &) = delete;
};
