#include "skip_taskbar.h"

#include <QGuiApplication>
#include <QWidget>
#include <QWindow>

void skipTaskbar(QWidget *window)
{
    if (QGuiApplication::platformName() != u"windows")
        return;
    // The taskbar shows unowned top-level windows only. A hidden window owns ours, as hidden
    // application windows own dialogs; given through Qt, which would otherwise reset the owner
    // as it shows the window.
    static QWindow *const owner = [] {
        auto *hidden = new QWindow;
        hidden->create();
        return hidden;
    }();
    window->winId();
    QWindow *shown = window->windowHandle();
    shown->setTransientParent(owner);
    // An owned window does not count as the program's last one: its closing ends the program.
    QObject::connect(shown, &QWindow::visibleChanged, qApp, [](bool visible) {
        if (!visible)
            QCoreApplication::quit();
    });
}
