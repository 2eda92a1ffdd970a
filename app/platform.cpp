#include "platform.h"

#include <QApplication>
#include <QFont>
#include <QTimer>

#include <clocale>
#include <cstring>
#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN)
#include <langinfo.h>
#endif

namespace {

// On Wayland Qt draws the title bar itself: the caption at 14 px in the application font,
// centred by the width it has in the application font at that font's own size, and clipped
// at the icon and the minimise button. Debian's default face at 9 pt starts the caption too
// far right and is too wide at 14 px, so the end of "QQ:20061207" is cut. Noto Sans CJK SC
// (a dependency) is narrower, and at 16 px the caption sits whole between icon and buttons.
void fitWaylandTitleBar()
{
    if (!QGuiApplication::platformName().startsWith(QLatin1String("wayland")))
        return;
    const QFont desktop = QGuiApplication::font();
    QFont titleBar = desktop;
    titleBar.setFamilies(QStringList{QStringLiteral("Noto Sans CJK SC")} + desktop.families());
    titleBar.setPixelSize(16);
    QGuiApplication::setFont(titleBar);
    // Widgets keep the desktop's size, in whatever faces the application chose meanwhile.
    // QApplication rebuilds its per-class fonts after this routine runs, so the entry is made
    // once the event loop starts; message boxes and tooltips appear only after that, and the
    // window's controls name their own faces and sizes.
    QTimer::singleShot(0, qApp, [desktop] {
        QFont widgets = QGuiApplication::font();
        if (desktop.pixelSize() > 0)
            widgets.setPixelSize(desktop.pixelSize());
        else
            widgets.setPointSizeF(desktop.pointSizeF());
        QApplication::setFont(widgets, "QWidget");
    });
}

} // namespace

void setUpPlatform()
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN)
    // Without a UTF-8 locale (LANG unset, as in a bare session, a service or a chroot, LC_ALL=C,
    // or a locale that is not installed) Xlib takes the caption for Latin-1 and hands the X
    // server mojibake as WM_NAME, which is what window managers and tools without
    // _NET_WM_NAME support show and match. Qt reads text as UTF-8 in any case. Only the
    // character type changes, unless the locale cannot be set at all and the process would
    // run in "C" anyway.
    const bool found = std::setlocale(LC_ALL, "") != nullptr;
    if (!found || std::strcmp(nl_langinfo(CODESET), "UTF-8") != 0)
        qputenv(!found || !qEnvironmentVariableIsEmpty("LC_ALL") ? "LC_ALL" : "LC_CTYPE",
                "C.UTF-8");

    // In a Wayland session with Xwayland, the desktop's window manager frames the window as
    // it does on X11: centred, no maximise box, no taskbar button, the whole caption, message
    // boxes over the window. Qt would pick Wayland where its plugin is installed; it stays the
    // fallback when the X server cannot be reached. A platform the user chose stands.
    const bool waylandSession =
        !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") || qgetenv("XDG_SESSION_TYPE") == "wayland";
    if (waylandSession && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") &&
        !qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "xcb;wayland");
#endif
    qAddPreRoutine(fitWaylandTitleBar);
}
