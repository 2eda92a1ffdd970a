#include "skip_taskbar.h"

#include <QGuiApplication>
#include <QWidget>

#ifdef VANTRELO_HAVE_XCB
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

xcb_atom_t internAtom(xcb_connection_t *connection, const char *name)
{
    const xcb_intern_atom_cookie_t cookie =
        xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::strlen(name)), name);
    const std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(connection, cookie, nullptr), &std::free);
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

xcb_window_t rootOf(xcb_connection_t *connection, xcb_window_t window)
{
    const std::unique_ptr<xcb_get_geometry_reply_t, decltype(&std::free)> geometry(
        xcb_get_geometry_reply(connection, xcb_get_geometry(connection, window), nullptr),
        &std::free);
    return geometry ? geometry->root : xcb_window_t{XCB_WINDOW_NONE};
}

} // namespace
#endif

void skipTaskbar(QWidget *window)
{
#ifdef VANTRELO_HAVE_XCB
    // Qt 6.4 has no window flag for this on X11; the EWMH state is set by hand.
    const auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !x11->connection())
        return;
    xcb_connection_t *connection = x11->connection();
    const auto id = static_cast<xcb_window_t>(window->winId());
    const xcb_atom_t wmState = internAtom(connection, "_NET_WM_STATE");
    const xcb_atom_t skip = internAtom(connection, "_NET_WM_STATE_SKIP_TASKBAR");
    if (wmState == XCB_ATOM_NONE || skip == XCB_ATOM_NONE)
        return;

    // A window manager reads the state of a window it is about to manage from the property;
    // Qt merges its own states into it when it maps the window.
    xcb_change_property(connection, XCB_PROP_MODE_APPEND, id, wmState, XCB_ATOM_ATOM, 32, 1, &skip);

    // Once managed, the window manager only listens to requests; this one covers a window
    // that was already mapped.
    xcb_client_message_event_t request{};
    request.response_type = XCB_CLIENT_MESSAGE;
    request.format = 32;
    request.window = id;
    request.type = wmState;
    request.data.data32[0] = 1; // _NET_WM_STATE_ADD
    request.data.data32[1] = skip;
    request.data.data32[2] = 0;
    request.data.data32[3] = 1; // the request comes from a normal application
    if (const xcb_window_t root = rootOf(connection, id); root != XCB_WINDOW_NONE) {
        xcb_send_event(connection, 0, root,
                       XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       reinterpret_cast<const char *>(&request));
    }
    xcb_flush(connection);
#else
    Q_UNUSED(window);
#endif
}
