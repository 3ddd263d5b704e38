#pragma once

class QLabel;
class QTextEdit;
class QWidget;

// Test and documentation hook, off unless asked for through the environment:
//   CMDPANEL_INSPECT=<file>   writes the widgets' geometry, fonts, styles and text as JSON,
//   CMDPANEL_SNAPSHOT=<file>  writes a PNG rendering of the whole window.
// Called once, when the command has ended; `title` is null when no title bar is shown.
// Returns false if a requested file could not be written (reported on standard error).
bool write_inspection_if_requested(QWidget &window, const QLabel *title,
                                   const QTextEdit &output);
