#include "system/orsolo/tools/cmdpanel/surface_transform.h"

#include <QGuiApplication>
#include <QWindow>
#include <qpa/qplatformnativeinterface.h>
#include <wayland-client-protocol.h>

SurfaceTransformResult rotate_surface_270(QWindow *window) {
  QPlatformNativeInterface *native = QGuiApplication::platformNativeInterface();
  // Platforms other than Wayland (offscreen, xcb) have no "surface" resource and answer null.
  void *resource = native ? native->nativeResourceForWindow("surface", window) : nullptr;
  if (resource == nullptr) {
    return SurfaceTransformResult::NO_WAYLAND_SURFACE;
  }
  auto *surface = static_cast<wl_surface *>(resource);
  wl_surface_set_buffer_transform(surface, WL_OUTPUT_TRANSFORM_270);
  wl_surface_commit(surface);
  return SurfaceTransformResult::OK;
}
