#pragma once

// The style sheet and the script of the pages (web/), built into the program so that it serves
// them from nowhere but itself.

extern const char *const VIEWER_CSS;
extern const char *const TRIP_JS;
