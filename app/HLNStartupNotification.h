#pragma once

#include <QByteArray>
#include <QVariantMap>

class QWidget;

// Ends a launcher's startup notification (its busy cursor) and lets the
// window it asked for come to the front, given the launcher's token: the
// X11 startup id or the Wayland activation token that a second `hollin`
// or the desktop passed along. Main thread only.
class HLNStartupNotification {
public:
    // The token for this window system out of D-Bus platform data
    // ("desktop-startup-id", "activation-token"); empty when there is none.
    static QByteArray tokenFromPlatformData(const QVariantMap& platformData);

    // Marks the window with the token, tells the launcher the start-up is
    // complete, then raises and activates the window. With no window only
    // the launcher is told; with no token the window is just raised.
    static void completeStartup(QWidget* window, const QByteArray& token);

    // The X11 message that ends a startup sequence ("remove: ID=...").
    static QByteArray removeMessageForStartupId(const QByteArray& startupId);
};
