#pragma once

// A CPU OpenCL device (PoCL here) with a context, a queue and one small kernel, for checking
// that a buffer's OpenCL view sees the same bytes as its mapping.

#include "strand/visionipc/visionbuf.h"

class ClTestDevice {
 public:
  ClTestDevice() {
    cl_platform_id platforms[8];
    cl_uint num_platforms = 0;
    if (clGetPlatformIDs(8, platforms, &num_platforms) != CL_SUCCESS) return;
    for (cl_uint i = 0; i < num_platforms && !device; i++) {
      cl_uint n = 0;
      if (clGetDeviceIDs(platforms[i], CL_DEVICE_TYPE_CPU, 1, &device, &n) != CL_SUCCESS) device = nullptr;
    }
    if (!device) return;
    cl_int err = CL_SUCCESS;
    context = clCreateContext(nullptr, 1, &device, nullptr, nullptr, &err);
    if (err != CL_SUCCESS) return;
    queue = clCreateCommandQueue(context, device, 0, &err);
  }
  ~ClTestDevice() {
    if (kernel) clReleaseKernel(kernel);
    if (program) clReleaseProgram(program);
    if (queue) clReleaseCommandQueue(queue);
    if (context) clReleaseContext(context);
  }
  ClTestDevice(const ClTestDevice &) = delete;
  ClTestDevice &operator=(const ClTestDevice &) = delete;

  bool ok() const { return queue != nullptr; }

  // Inverts every byte of `mem` on the device and waits for it.
  bool run_invert(cl_mem mem, size_t len) {
    if (!kernel) {
      const char *src = "__kernel void invert(__global uchar *p) { size_t i = get_global_id(0); p[i] = ~p[i]; }";
      cl_int err = CL_SUCCESS;
      program = clCreateProgramWithSource(context, 1, &src, nullptr, &err);
      if (err != CL_SUCCESS || clBuildProgram(program, 1, &device, "", nullptr, nullptr) != CL_SUCCESS) return false;
      kernel = clCreateKernel(program, "invert", &err);
      if (err != CL_SUCCESS) return false;
    }
    if (clSetKernelArg(kernel, 0, sizeof(mem), &mem) != CL_SUCCESS) return false;
    if (clEnqueueNDRangeKernel(queue, kernel, 1, nullptr, &len, nullptr, 0, nullptr, nullptr) != CL_SUCCESS) {
      return false;
    }
    return clFinish(queue) == CL_SUCCESS;
  }

  cl_device_id device = nullptr;
  cl_context context = nullptr;
  cl_command_queue queue = nullptr;
  cl_program program = nullptr;
  cl_kernel kernel = nullptr;
};
