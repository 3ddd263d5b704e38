#ifndef OMX_Core_h
#define OMX_Core_h

/* The OpenMAX IL 1.1 core interface, the subset this system uses: commands, states, errors,
 * events, the buffer header, the callbacks, the component-call macros and the core's entry
 * points. Values are the standard's. */

#include <stddef.h>

#include "OMX_Index.h"
#include "OMX_Types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum OMX_COMMANDTYPE {
  OMX_CommandStateSet,
  OMX_CommandFlush,
  OMX_CommandPortDisable,
  OMX_CommandPortEnable,
  OMX_CommandMarkBuffer,
  OMX_CommandKhronosExtensions = 0x6F000000,
  OMX_CommandVendorStartUnused = 0x7F000000,
  OMX_CommandMax = 0x7FFFFFFF
} OMX_COMMANDTYPE;

typedef enum OMX_STATETYPE {
  OMX_StateInvalid,
  OMX_StateLoaded,
  OMX_StateIdle,
  OMX_StateExecuting,
  OMX_StatePause,
  OMX_StateWaitForResources,
  OMX_StateKhronosExtensions = 0x6F000000,
  OMX_StateVendorStartUnused = 0x7F000000,
  OMX_StateMax = 0x7FFFFFFF
} OMX_STATETYPE;

typedef enum OMX_ERRORTYPE {
  OMX_ErrorNone = 0,
  OMX_ErrorInsufficientResources = (int32_t)0x80001000,
  OMX_ErrorUndefined = (int32_t)0x80001001,
  OMX_ErrorInvalidComponentName = (int32_t)0x80001002,
  OMX_ErrorComponentNotFound = (int32_t)0x80001003,
  OMX_ErrorInvalidComponent = (int32_t)0x80001004,
  OMX_ErrorBadParameter = (int32_t)0x80001005,
  OMX_ErrorNotImplemented = (int32_t)0x80001006,
  OMX_ErrorUnderflow = (int32_t)0x80001007,
  OMX_ErrorOverflow = (int32_t)0x80001008,
  OMX_ErrorHardware = (int32_t)0x80001009,
  OMX_ErrorInvalidState = (int32_t)0x8000100A,
  OMX_ErrorStreamCorrupt = (int32_t)0x8000100B,
  OMX_ErrorPortsNotCompatible = (int32_t)0x8000100C,
  OMX_ErrorResourcesLost = (int32_t)0x8000100D,
  OMX_ErrorNoMore = (int32_t)0x8000100E,
  OMX_ErrorVersionMismatch = (int32_t)0x8000100F,
  OMX_ErrorNotReady = (int32_t)0x80001010,
  OMX_ErrorTimeout = (int32_t)0x80001011,
  OMX_ErrorSameState = (int32_t)0x80001012,
  OMX_ErrorResourcesPreempted = (int32_t)0x80001013,
  OMX_ErrorPortUnresponsiveDuringAllocation = (int32_t)0x80001014,
  OMX_ErrorPortUnresponsiveDuringDeallocation = (int32_t)0x80001015,
  OMX_ErrorPortUnresponsiveDuringStop = (int32_t)0x80001016,
  OMX_ErrorIncorrectStateTransition = (int32_t)0x80001017,
  OMX_ErrorIncorrectStateOperation = (int32_t)0x80001018,
  OMX_ErrorUnsupportedSetting = (int32_t)0x80001019,
  OMX_ErrorUnsupportedIndex = (int32_t)0x8000101A,
  OMX_ErrorBadPortIndex = (int32_t)0x8000101B,
  OMX_ErrorPortUnpopulated = (int32_t)0x8000101C,
  OMX_ErrorComponentSuspended = (int32_t)0x8000101D,
  OMX_ErrorDynamicResourcesUnavailable = (int32_t)0x8000101E,
  OMX_ErrorMbErrorsInFrame = (int32_t)0x8000101F,
  OMX_ErrorFormatNotDetected = (int32_t)0x80001020,
  OMX_ErrorKhronosExtensions = (int32_t)0x8F000000,
  OMX_ErrorVendorStartUnused = (int32_t)0x90000000,
  OMX_ErrorMax = 0x7FFFFFFF
} OMX_ERRORTYPE;

typedef enum OMX_EVENTTYPE {
  OMX_EventCmdComplete,
  OMX_EventError,
  OMX_EventMark,
  OMX_EventPortSettingsChanged,
  OMX_EventBufferFlag,
  OMX_EventResourcesAcquired,
  OMX_EventComponentResumed,
  OMX_EventDynamicResourcesAvailable,
  OMX_EventPortFormatDetected,
  OMX_EventKhronosExtensions = 0x6F000000,
  OMX_EventVendorStartUnused = 0x7F000000,
  OMX_EventMax = 0x7FFFFFFF
} OMX_EVENTTYPE;

typedef enum OMX_BUFFERSUPPLIERTYPE {
  OMX_BufferSupplyUnspecified,
  OMX_BufferSupplyInput,
  OMX_BufferSupplyOutput,
  OMX_BufferSupplyMax = 0x7FFFFFFF
} OMX_BUFFERSUPPLIERTYPE;

/* Flags of a buffer header's nFlags. */
#define OMX_BUFFERFLAG_EOS 0x00000001
#define OMX_BUFFERFLAG_STARTTIME 0x00000002
#define OMX_BUFFERFLAG_DECODEONLY 0x00000004
#define OMX_BUFFERFLAG_DATACORRUPT 0x00000008
#define OMX_BUFFERFLAG_ENDOFFRAME 0x00000010
#define OMX_BUFFERFLAG_SYNCFRAME 0x00000020
#define OMX_BUFFERFLAG_EXTRADATA 0x00000040
#define OMX_BUFFERFLAG_CODECCONFIG 0x00000080

typedef struct OMX_BUFFERHEADERTYPE {
  OMX_U32 nSize;
  OMX_VERSIONTYPE nVersion;
  OMX_U8 *pBuffer;
  OMX_U32 nAllocLen;
  OMX_U32 nFilledLen;
  OMX_U32 nOffset;
  OMX_PTR pAppPrivate;
  OMX_PTR pPlatformPrivate;
  OMX_PTR pInputPortPrivate;
  OMX_PTR pOutputPortPrivate;
  OMX_HANDLETYPE hMarkTargetComponent;
  OMX_PTR pMarkData;
  OMX_U32 nTickCount;
  OMX_TICKS nTimeStamp;
  OMX_U32 nFlags;
  OMX_U32 nOutputPortIndex;
  OMX_U32 nInputPortIndex;
} OMX_BUFFERHEADERTYPE;

/* The fields both sides of a buffer hand-over read and write, where the device has them. */
OMX_ABI_CHECK(offsetof(OMX_BUFFERHEADERTYPE, pBuffer) == 8, "buffer header: pBuffer");
OMX_ABI_CHECK(offsetof(OMX_BUFFERHEADERTYPE, nAllocLen) == 16, "buffer header: nAllocLen");
OMX_ABI_CHECK(offsetof(OMX_BUFFERHEADERTYPE, nFilledLen) == 20, "buffer header: nFilledLen");
OMX_ABI_CHECK(offsetof(OMX_BUFFERHEADERTYPE, nOffset) == 24, "buffer header: nOffset");
OMX_ABI_CHECK(offsetof(OMX_BUFFERHEADERTYPE, pAppPrivate) == 32, "buffer header: pAppPrivate");
OMX_ABI_CHECK(offsetof(OMX_BUFFERHEADERTYPE, nTickCount) == 80, "buffer header: nTickCount");
OMX_ABI_CHECK(offsetof(OMX_BUFFERHEADERTYPE, nTimeStamp) == 88, "buffer header: nTimeStamp");
OMX_ABI_CHECK(offsetof(OMX_BUFFERHEADERTYPE, nFlags) == 96, "buffer header: nFlags");
OMX_ABI_CHECK(offsetof(OMX_BUFFERHEADERTYPE, nOutputPortIndex) == 100, "buffer header: nOutputPortIndex");
OMX_ABI_CHECK(offsetof(OMX_BUFFERHEADERTYPE, nInputPortIndex) == 104, "buffer header: nInputPortIndex");
OMX_ABI_CHECK(sizeof(OMX_BUFFERHEADERTYPE) == 112, "buffer header size");

/* Number of ports of one domain and the first one's index (OMX_IndexParamVideoInit, ...). */
typedef struct OMX_PORT_PARAM_TYPE {
  OMX_U32 nSize;
  OMX_VERSIONTYPE nVersion;
  OMX_U32 nPorts;
  OMX_U32 nStartPortNumber;
} OMX_PORT_PARAM_TYPE;
OMX_ABI_CHECK(sizeof(OMX_PORT_PARAM_TYPE) == 16, "port count parameter size");

typedef struct OMX_TUNNELSETUPTYPE {
  OMX_U32 nTunnelFlags;
  OMX_BUFFERSUPPLIERTYPE eSupplier;
} OMX_TUNNELSETUPTYPE;

/* The client's callbacks, called on the component's threads. */
typedef struct OMX_CALLBACKTYPE {
  OMX_ERRORTYPE (*EventHandler)
  (OMX_HANDLETYPE hComponent, OMX_PTR pAppData, OMX_EVENTTYPE eEvent, OMX_U32 nData1, OMX_U32 nData2,
   OMX_PTR pEventData);
  OMX_ERRORTYPE (*EmptyBufferDone)
  (OMX_HANDLETYPE hComponent, OMX_PTR pAppData, OMX_BUFFERHEADERTYPE *pBuffer);
  OMX_ERRORTYPE (*FillBufferDone)(OMX_HANDLETYPE hComponent, OMX_PTR pAppData, OMX_BUFFERHEADERTYPE *pBuffer);
} OMX_CALLBACKTYPE;

/* Component calls through the component's function table (OMX_COMPONENTTYPE, OMX_Component.h). */
#define OMX_GetComponentVersion(hComponent, pComponentName, pComponentVersion, pSpecVersion, pComponentUUID) \
  ((OMX_COMPONENTTYPE *)(hComponent))                                                                        \
      ->GetComponentVersion(hComponent, pComponentName, pComponentVersion, pSpecVersion, pComponentUUID)
#define OMX_SendCommand(hComponent, Cmd, nParam, pCmdData) \
  ((OMX_COMPONENTTYPE *)(hComponent))->SendCommand(hComponent, Cmd, nParam, pCmdData)
#define OMX_GetParameter(hComponent, nParamIndex, pComponentParameterStructure) \
  ((OMX_COMPONENTTYPE *)(hComponent))->GetParameter(hComponent, nParamIndex, pComponentParameterStructure)
#define OMX_SetParameter(hComponent, nParamIndex, pComponentParameterStructure) \
  ((OMX_COMPONENTTYPE *)(hComponent))->SetParameter(hComponent, nParamIndex, pComponentParameterStructure)
#define OMX_GetConfig(hComponent, nConfigIndex, pComponentConfigStructure) \
  ((OMX_COMPONENTTYPE *)(hComponent))->GetConfig(hComponent, nConfigIndex, pComponentConfigStructure)
#define OMX_SetConfig(hComponent, nConfigIndex, pComponentConfigStructure) \
  ((OMX_COMPONENTTYPE *)(hComponent))->SetConfig(hComponent, nConfigIndex, pComponentConfigStructure)
#define OMX_GetExtensionIndex(hComponent, cParameterName, pIndexType) \
  ((OMX_COMPONENTTYPE *)(hComponent))->GetExtensionIndex(hComponent, cParameterName, pIndexType)
#define OMX_GetState(hComponent, pState) ((OMX_COMPONENTTYPE *)(hComponent))->GetState(hComponent, pState)
#define OMX_UseBuffer(hComponent, ppBufferHdr, nPortIndex, pAppPrivate, nSizeBytes, pBuffer) \
  ((OMX_COMPONENTTYPE *)(hComponent))                                                        \
      ->UseBuffer(hComponent, ppBufferHdr, nPortIndex, pAppPrivate, nSizeBytes, pBuffer)
#define OMX_AllocateBuffer(hComponent, ppBuffer, nPortIndex, pAppPrivate, nSizeBytes) \
  ((OMX_COMPONENTTYPE *)(hComponent))                                                 \
      ->AllocateBuffer(hComponent, ppBuffer, nPortIndex, pAppPrivate, nSizeBytes)
#define OMX_FreeBuffer(hComponent, nPortIndex, pBuffer) \
  ((OMX_COMPONENTTYPE *)(hComponent))->FreeBuffer(hComponent, nPortIndex, pBuffer)
#define OMX_EmptyThisBuffer(hComponent, pBuffer) \
  ((OMX_COMPONENTTYPE *)(hComponent))->EmptyThisBuffer(hComponent, pBuffer)
#define OMX_FillThisBuffer(hComponent, pBuffer) \
  ((OMX_COMPONENTTYPE *)(hComponent))->FillThisBuffer(hComponent, pBuffer)

/* The core's entry points. */
OMX_API OMX_ERRORTYPE OMX_APIENTRY OMX_Init(void);
OMX_API OMX_ERRORTYPE OMX_APIENTRY OMX_Deinit(void);
OMX_API OMX_ERRORTYPE OMX_APIENTRY OMX_GetHandle(OMX_HANDLETYPE *pHandle, OMX_STRING cComponentName,
                                                 OMX_PTR pAppData, OMX_CALLBACKTYPE *pCallBacks);
OMX_API OMX_ERRORTYPE OMX_APIENTRY OMX_FreeHandle(OMX_HANDLETYPE hComponent);

#ifdef __cplusplus
}
#endif

#endif /* OMX_Core_h */
