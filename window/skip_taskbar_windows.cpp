#include "skip_taskbar.h"

#include <QGuiApplication>
#include <QWidget>

#include <windows.h>

void skipTaskbar(QWidget *window)
{
    // Other platform plugins (offscreen, minimal) hand out window ids that are no HWNDs.
    if (QGuiApplication::platformName() != u"windows")
        return;
    // The taskbar shows unowned top-level windows only, unless they ask for a button; a hidden
    // window owns ours, as hidden application windows own dialogs. Set before the window is
    // first shown, since the taskbar looks only then.
    static const HWND owner = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 0, 0, nullptr,
                                              nullptr, GetModuleHandleW(nullptr), nullptr);
    const auto handle = reinterpret_cast<HWND>(window->winId());
    const LONG_PTR extended = GetWindowLongPtrW(handle, GWL_EXSTYLE);
    SetWindowLongPtrW(handle, GWL_EXSTYLE, extended & ~LONG_PTR(WS_EX_APPWINDOW));
    if (owner)
        SetWindowLongPtrW(handle, GWLP_HWNDPARENT, reinterpret_cast<LONG_PTR>(owner));
}
