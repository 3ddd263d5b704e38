#pragma once

// Checks every OpenMAX component makes on a parameter structure before touching it: the
// structure's size as the client compiled it, and the port it names.

#include <OMX_Core.h>

namespace omx_core {

template <class T>
OMX_ERRORTYPE check_port_struct(const T *p, OMX_U32 ports) {
  if (p->nSize != sizeof(T)) return OMX_ErrorBadParameter;
  if (p->nPortIndex >= ports) return OMX_ErrorBadPortIndex;
  return OMX_ErrorNone;
}

template <class T>
OMX_ERRORTYPE check_output_struct(const T *p, OMX_U32 port) {
  if (p->nSize != sizeof(T)) return OMX_ErrorBadParameter;
  if (p->nPortIndex != port) return OMX_ErrorBadPortIndex;
  return OMX_ErrorNone;
}

}  // namespace omx_core
