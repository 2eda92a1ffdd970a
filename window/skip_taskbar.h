#pragma once

class QWidget;

// Keeps a top-level window out of the desktop's taskbar. Call before the window is first
// mapped; does nothing where the platform has no such notion or is not X11.
void skipTaskbar(QWidget *window);
