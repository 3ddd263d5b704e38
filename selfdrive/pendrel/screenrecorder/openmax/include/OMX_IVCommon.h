#ifndef OMX_IVCommon_h
#define OMX_IVCommon_h

/* Definitions OpenMAX IL 1.1 shares between image and video ports, the subset this system
 * uses: colour formats. The device's own NV12 layout is a vendor value (omx_vendor_ext.h). */

#include "OMX_Core.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum OMX_COLOR_FORMATTYPE {
  OMX_COLOR_FormatUnused = 0,
  OMX_COLOR_FormatMonochrome = 1,
  OMX_COLOR_FormatYUV420Planar = 19,
  OMX_COLOR_FormatYUV420PackedPlanar = 20,
  OMX_COLOR_FormatYUV420SemiPlanar = 21,
  OMX_COLOR_FormatYUV420PackedSemiPlanar = 39,
  OMX_COLOR_FormatKhronosExtensions = 0x6F000000,
  OMX_COLOR_FormatVendorStartUnused = 0x7F000000,
  OMX_COLOR_FormatMax = 0x7FFFFFFF
} OMX_COLOR_FORMATTYPE;

#ifdef __cplusplus
}
#endif

#endif /* OMX_IVCommon_h */
