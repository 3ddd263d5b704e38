#include "system/orsolo/tools/cmdpanel/wayland_session.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <cstdio>

#include <wayland-client-core.h>

bool wayland_session_reachable() {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "wayland");
  if (!qEnvironmentVariable("QT_QPA_PLATFORM").startsWith("wayland")) return true;
  // A connection handed over as WAYLAND_SOCKET can be taken only once: leave it to Qt.
  if (!qEnvironmentVariableIsEmpty("WAYLAND_SOCKET")) return true;

  const QByteArray name = qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ? "wayland-0" : qgetenv("WAYLAND_DISPLAY");
  // A display name that is not a path lives in XDG_RUNTIME_DIR (and the library would add a
  // message of its own about the missing variable).
  if (!name.startsWith('/') && qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
    std::fprintf(stderr, "cmdpanel: no Wayland session to show the panel on (XDG_RUNTIME_DIR is not set).\n");
    return false;
  }
  if (wl_display *display = wl_display_connect(nullptr)) {
    wl_display_disconnect(display);
    return true;
  }
  const QByteArray where = name.startsWith('/') ? name : qgetenv("XDG_RUNTIME_DIR") + "/" + name;
  std::fprintf(stderr, "cmdpanel: no Wayland session to show the panel on (nothing answers at %s).\n",
               where.constData());
  return false;
}
