#pragma once

#include <QDBusAbstractAdaptor>
#include <QDBusMessage>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>
#include <optional>
#include <string>
#include <vector>

class HLNController;

// org.freedesktop.Application on the services provider's object: how
// desktops start Hollin (the desktop entry is D-Bus activatable) and hand
// it folders. Lives as a child of the object it is exported with.
// Main thread only.
class HLNApplicationService : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")
public:
    static constexpr const char* kInterface = "org.freedesktop.Application";

    HLNApplicationService(QObject* exportedObject, HLNController* controller);
    void setController(HLNController* controller) { _controller = controller; }

    // The bytes of the local path a file:// URI names (percent escapes
    // decoded byte for byte, the host empty or "localhost"); nullopt for
    // anything else, a NUL byte or a fragment.
    static std::optional<std::string> pathForFileURI(const QString& uri);

    // The launcher's startup notification, as the desktop passes it in
    // platform data: "activation-token" and "desktop-startup-id".
    static QVariantMap platformDataFromEnvironment(const QByteArray& startupId,
                                                   const QByteArray& activationToken);

    // Client side, for a second `hollin`: Activate with no paths, else Open.
    // Answers the exit status when a running instance took the request (0,
    // or 1 when it refused something), nullopt when none runs.
    static std::optional<int> handOverToRunningInstance(const std::vector<std::string>& paths,
                                                        const QVariantMap& platformData);

public slots:
    // The trailing message is the D-Bus call (an invalid message when the
    // call is direct); a refusal is answered on it as an error.
    void Activate(const QVariantMap& platformData);
    void Open(const QStringList& uris, const QVariantMap& platformData,
              const QDBusMessage& message);
    // "drive-list" shows the drive list; "quit" asks for termination.
    void ActivateAction(const QString& name, const QVariantList& parameter,
                        const QVariantMap& platformData, const QDBusMessage& message);

private:
    HLNController* _controller;
};
