#ifndef OMX_Index_h
#define OMX_Index_h

/* Parameter and configuration indices of OpenMAX IL 1.1 that this system uses, with the
 * standard's values (each group starts at its own 0x01000000 step). */

#include "OMX_Types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum OMX_INDEXTYPE {
  OMX_IndexComponentStartUnused = 0x01000000,
  OMX_IndexParamPriorityMgmt,
  OMX_IndexParamAudioInit,
  OMX_IndexParamImageInit,
  OMX_IndexParamVideoInit,
  OMX_IndexParamOtherInit,

  OMX_IndexPortStartUnused = 0x02000000,
  OMX_IndexParamPortDefinition,
  OMX_IndexParamCompBufferSupplier,

  OMX_IndexAudioStartUnused = 0x04000000,
  OMX_IndexParamAudioPortFormat,
  OMX_IndexParamAudioPcm,

  OMX_IndexVideoStartUnused = 0x06000000,
  OMX_IndexParamVideoPortFormat,
  OMX_IndexParamVideoQuantization,
  OMX_IndexParamVideoFastUpdate,
  OMX_IndexParamVideoBitrate,
  OMX_IndexParamVideoMotionVector,
  OMX_IndexParamVideoIntraRefresh,
  OMX_IndexParamVideoErrorCorrection,
  OMX_IndexParamVideoVBSMC,
  OMX_IndexParamVideoMpeg2,
  OMX_IndexParamVideoMpeg4,
  OMX_IndexParamVideoWmv,
  OMX_IndexParamVideoRv,
  OMX_IndexParamVideoAvc,
  OMX_IndexParamVideoH263,
  OMX_IndexParamVideoProfileLevelQuerySupported,
  OMX_IndexParamVideoProfileLevelCurrent,
  OMX_IndexConfigVideoBitrate,
  OMX_IndexConfigVideoFramerate,
  OMX_IndexConfigVideoIntraVOPRefresh,

  OMX_IndexKhronosExtensions = 0x6F000000,
  OMX_IndexVendorStartUnused = 0x7F000000,
  OMX_IndexMax = 0x7FFFFFFF
} OMX_INDEXTYPE;

OMX_ABI_CHECK(OMX_IndexParamPortDefinition == 0x02000001, "port definition index");
OMX_ABI_CHECK(OMX_IndexParamVideoBitrate == 0x06000004, "bit rate index");
OMX_ABI_CHECK(OMX_IndexParamVideoAvc == 0x0600000D, "AVC index");
OMX_ABI_CHECK(OMX_IndexParamVideoProfileLevelCurrent == 0x06000010, "profile and level index");
OMX_ABI_CHECK(OMX_IndexConfigVideoIntraVOPRefresh == 0x06000013, "sync frame request index");

#ifdef __cplusplus
}
#endif

#endif /* OMX_Index_h */
