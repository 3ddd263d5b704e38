#pragma once

// The kernel records and requests of the legacy ION interface with the msm cache-maintenance
// extensions, as the device's kernel lays them out.

#include <cstddef>
#include <cstdint>

struct ion_allocation_data {
  size_t len;
  size_t align;
  uint32_t heap_id_mask;
  uint32_t flags;
  int32_t handle;  // out
};
static_assert(sizeof(ion_allocation_data) == 32, "ion_allocation_data layout");
static_assert(offsetof(ion_allocation_data, handle) == 24, "ion_allocation_data layout");

struct ion_fd_data {
  int32_t handle;
  int32_t fd;
};
static_assert(sizeof(ion_fd_data) == 8, "ion_fd_data layout");

struct ion_handle_data {
  int32_t handle;
};
static_assert(sizeof(ion_handle_data) == 4, "ion_handle_data layout");

struct ion_custom_data {
  uint32_t cmd;
  uint64_t arg;  // address of the command's record
};
static_assert(sizeof(ion_custom_data) == 16, "ion_custom_data layout");
static_assert(offsetof(ion_custom_data, arg) == 8, "ion_custom_data layout");

struct ion_flush_data {
  int32_t handle;
  int32_t fd;
  void *vaddr;
  uint32_t offset;
  uint32_t length;
};
static_assert(sizeof(ion_flush_data) == 24, "ion_flush_data layout");
static_assert(offsetof(ion_flush_data, vaddr) == 8 && offsetof(ion_flush_data, length) == 20,
              "ion_flush_data layout");

constexpr unsigned long ION_IOC_ALLOC = 0xC0204900;
constexpr unsigned long ION_IOC_FREE = 0xC0044901;
constexpr unsigned long ION_IOC_SHARE = 0xC0084904;
constexpr unsigned long ION_IOC_IMPORT = 0xC0084905;
constexpr unsigned long ION_IOC_CUSTOM = 0xC0104906;
constexpr uint32_t ION_IOC_CLEAN_CACHES = 0xC0184D00;
constexpr uint32_t ION_IOC_INV_CACHES = 0xC0184D01;

constexpr uint32_t ION_SYSTEM_HEAP_ID = 25;
constexpr uint32_t ION_FLAG_CACHED = 1;

// The vendor's OpenCL extension for wrapping ION memory without a copy.
constexpr unsigned int CL_MEM_ION_HOST_PTR_QCOM = 0x40A8;
constexpr unsigned int CL_MEM_HOST_IOCOHERENT_QCOM = 0x40A4;
constexpr unsigned long CL_MEM_EXT_HOST_PTR_QCOM = 1ul << 29;

struct cl_mem_ext_host_ptr {
  unsigned int allocation_type;    // cl_uint
  unsigned int host_cache_policy;  // cl_uint
};

struct cl_mem_ion_host_ptr {
  cl_mem_ext_host_ptr ext_host_ptr;
  int ion_filedesc;
  void *ion_hostptr;
};
