#pragma once

#include <QString>

class QWidget;

// What screen readers need from the window beyond Qt's own widget interfaces: the window as a
// frame named by its caption, its line edits' text read whole, and a notification that speaks
// what a click did while the focus stays on the clicked button.
class ScreenReaderNotice
{
public:
    // Makes the window a frame to assistive technology, and its line edits read whole; call
    // before their interfaces are asked for.
    explicit ScreenReaderNotice(QWidget *window);

    // One spoken message, also when it repeats the last.
    void say(const QString &text);

private:
    QWidget *m_window;
};
