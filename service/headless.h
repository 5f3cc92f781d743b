// Whether the program runs without a window: in daemon mode, or on a machine
// without a display (where it starts on the offscreen platform by itself).
// Then the window is never shown, nothing is drawn and no message box opens;
// the daemon_mode setting itself keeps the value of the file.
#pragma once

// Set by the process entry before the main window is built.
extern bool display_missing;

bool runs_without_window();
