#pragma once

// Settles what the windowing system needs from this process: a UTF-8 character set, X11 in
// Wayland sessions with Xwayland, and Qt's own Wayland title bar fitted to the caption. Call
// before the QApplication is constructed.
void setUpPlatform();
