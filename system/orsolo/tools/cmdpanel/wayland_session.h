#pragma once

// The panel lives on the device's Wayland display. Without one, Qt would end the process with
// an abort and a message about reinstalling; this says plainly what is missing instead.
//
// Call before the GUI application is created. Selects the Wayland platform unless another is
// asked for explicitly (QT_QPA_PLATFORM), then, for Wayland, connects to the display once to
// see that it answers. Returns false after printing one sentence on standard error when there
// is no display to show the panel on.
bool wayland_session_reachable();
