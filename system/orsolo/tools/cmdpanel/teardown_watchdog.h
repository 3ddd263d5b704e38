#pragma once

// Qt's Wayland platform plugin can deadlock while it tears down its display
// connection, after the event loop has already returned. The panel must end when
// its command ends, so before leaving main() we arm a timer: if destruction and
// exit have not finished within `seconds`, the process leaves at once with
// `exit_status` (through _exit, which skips the remaining destructors).
void arm_teardown_watchdog(int exit_status, unsigned seconds);
