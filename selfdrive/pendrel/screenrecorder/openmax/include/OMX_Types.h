#ifndef OMX_Types_h
#define OMX_Types_h

/* Basic types of the OpenMAX IL 1.1 interface, the subset this system uses, with the device's
 * binary interface: every integer type has a fixed width (OMX_U32 is 32 bits on the 64-bit
 * device too), time stamps are 64-bit signed microseconds, enumerations are 32 bits wide.
 * A structure compiled from these headers has the size and field offsets the device's core
 * expects; the sizes are pinned next to each structure. */

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Compile-time check of the binary interface, in C and in C++. */
#ifdef __cplusplus
#define OMX_ABI_CHECK(cond, msg) static_assert(cond, msg)
#else
#define OMX_ABI_CHECK(cond, msg) _Static_assert(cond, msg)
#endif

/* The device is a 64-bit (LP64) machine: pointer fields are 8 bytes and 8-byte aligned. */
OMX_ABI_CHECK(sizeof(void *) == 8, "the device's OpenMAX interface is LP64");

#define OMX_API
#define OMX_APIENTRY

typedef uint8_t OMX_U8;
typedef int8_t OMX_S8;
typedef uint16_t OMX_U16;
typedef int16_t OMX_S16;
typedef uint32_t OMX_U32;
typedef int32_t OMX_S32;
typedef uint64_t OMX_U64;
typedef int64_t OMX_S64;

typedef enum OMX_BOOL { OMX_FALSE = 0, OMX_TRUE = 1, OMX_BOOL_MAX = 0x7FFFFFFF } OMX_BOOL;

typedef void *OMX_PTR;
typedef char *OMX_STRING;
typedef unsigned char OMX_UUIDTYPE[128];
typedef void *OMX_HANDLETYPE;
typedef void *OMX_NATIVE_DEVICETYPE;
typedef void *OMX_NATIVE_WINDOWTYPE;

/* Presentation time in microseconds. */
typedef OMX_S64 OMX_TICKS;

typedef enum OMX_DIRTYPE { OMX_DirInput, OMX_DirOutput, OMX_DirMax = 0x7FFFFFFF } OMX_DIRTYPE;

typedef struct OMX_MARKTYPE {
  OMX_HANDLETYPE hMarkTargetComponent;
  OMX_PTR pMarkData;
} OMX_MARKTYPE;

typedef union OMX_VERSIONTYPE {
  struct {
    OMX_U8 nVersionMajor;
    OMX_U8 nVersionMinor;
    OMX_U8 nRevision;
    OMX_U8 nStep;
  } s;
  OMX_U32 nVersion;
} OMX_VERSIONTYPE;

#define OMX_MAX_STRINGNAME_SIZE 128

/* Every port, in commands and buffer headers. */
#define OMX_ALL 0xFFFFFFFF

OMX_ABI_CHECK(sizeof(OMX_U32) == 4 && sizeof(OMX_TICKS) == 8, "fixed-width integer types");
OMX_ABI_CHECK(sizeof(OMX_BOOL) == 4 && sizeof(OMX_DIRTYPE) == 4, "enumerations are 32 bits wide");
OMX_ABI_CHECK(sizeof(OMX_VERSIONTYPE) == 4, "version word");

#ifdef __cplusplus
}
#endif

#endif /* OMX_Types_h */
