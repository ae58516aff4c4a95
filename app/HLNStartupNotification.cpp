#include "app/HLNStartupNotification.h"

#include <QGuiApplication>
#include <QWidget>
#include <QtGui/qguiapplication_platform.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <xcb/xcb.h>

namespace {

bool onX11() {
    return QGuiApplication::platformName() == "xcb";
}
bool onWayland() {
    return QGuiApplication::platformName().startsWith("wayland");
}

xcb_atom_t atom(xcb_connection_t* connection, const char* name) {
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, std::strlen(name), name), nullptr);
    if (!reply)
        return XCB_ATOM_NONE;
    const xcb_atom_t answer = reply->atom;
    std::free(reply);
    return answer;
}

// Broadcasts a startup-notification message to the root window in 20-byte
// pieces, the first typed _NET_STARTUP_INFO_BEGIN, the rest _NET_STARTUP_INFO,
// the terminating NUL included.
void broadcast(xcb_connection_t* connection, xcb_window_t from, const QByteArray& message) {
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    if (!screen)
        return;
    const xcb_atom_t begin = atom(connection, "_NET_STARTUP_INFO_BEGIN");
    const xcb_atom_t more = atom(connection, "_NET_STARTUP_INFO");
    QByteArray bytes = message;
    bytes.append('\0');
    for (qsizetype offset = 0; offset < bytes.size(); offset += 20) {
        xcb_client_message_event_t event{};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 8;
        event.window = from;
        event.type = offset == 0 ? begin : more;
        std::memcpy(event.data.data8, bytes.constData() + offset,
                    std::min<qsizetype>(20, bytes.size() - offset));
        xcb_send_event(connection, 0, screen->root, XCB_EVENT_MASK_PROPERTY_CHANGE,
                       reinterpret_cast<const char*>(&event));
    }
    xcb_flush(connection);
}

void completeOnX11(QWidget* window, const QByteArray& startupId) {
    auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection)
        return;
    xcb_window_t from = XCB_WINDOW_NONE;
    if (window) {
        from = static_cast<xcb_window_t>(window->winId());
        // The window manager matches the window to the launch by this.
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, from,
                            atom(connection, "_NET_STARTUP_ID"), atom(connection, "UTF8_STRING"), 8,
                            startupId.size(), startupId.constData());
    } else {
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
        if (!screen)
            return;
        from = xcb_generate_id(connection);
        xcb_create_window(connection, XCB_COPY_FROM_PARENT, from, screen->root, 0, 0, 1, 1, 0,
                          XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
    }
    broadcast(connection, from, HLNStartupNotification::removeMessageForStartupId(startupId));
    if (!window)
        xcb_destroy_window(connection, from);
    xcb_flush(connection);
}

} // namespace

QByteArray HLNStartupNotification::tokenFromPlatformData(const QVariantMap& platformData) {
    const QByteArray startupId = platformData.value("desktop-startup-id").toString().toUtf8();
    const QByteArray activationToken = platformData.value("activation-token").toString().toUtf8();
    if (onWayland())
        return activationToken.isEmpty() ? startupId : activationToken;
    return startupId.isEmpty() ? activationToken : startupId;
}

QByteArray HLNStartupNotification::removeMessageForStartupId(const QByteArray& startupId) {
    QByteArray value;
    for (char c : startupId) {
        if (c == '"' || c == '\\')
            value.append('\\');
        value.append(c);
    }
    return "remove: ID=\"" + value + "\"";
}

void HLNStartupNotification::completeStartup(QWidget* window, const QByteArray& token) {
    if (!token.isEmpty()) {
        if (onX11())
            completeOnX11(window, token);
        // Qt's Wayland activation takes the token from the environment once.
        else if (onWayland() && window)
            qputenv("XDG_ACTIVATION_TOKEN", token);
    }
    if (!window)
        return;
    window->show();
    window->raise();
    window->activateWindow();
}
