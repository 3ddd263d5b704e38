#pragma once

class QWindow;

enum class SurfaceTransformResult {
  OK,
  NO_WAYLAND_SURFACE,  // the platform plugin has no wl_surface for the window
};

// The device's display is mounted rotated: tell the compositor that the window's
// buffers are drawn turned by 270 degrees (WL_OUTPUT_TRANSFORM_270), then commit.
// The window must already be shown, or the platform has not created its surface yet.
SurfaceTransformResult rotate_surface_270(QWindow *window);
