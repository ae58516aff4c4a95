#include "app/HLNApplicationService.h"

#include "app/HLNController.h"
#include "app/HLNServicesProvider.h"
#include "app/HLNStartupNotification.h"
#include "browser/HLNWorkspace.h"
#include "drives/gui/HLNDriveListController.h"
#include "toolkit/TFString.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QEvent>
#include <QMainWindow>
#include <QPointer>
#include <cstdio>

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Notes the main windows shown while it lives, in the order they appear.
class ShownWindows : public QObject {
public:
    ShownWindows() { qApp->installEventFilter(this); }
    ~ShownWindows() override { qApp->removeEventFilter(this); }
    QWidget* last() const { return _shown.isEmpty() ? nullptr : _shown.last().data(); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show)
            if (auto* window = qobject_cast<QMainWindow*>(watched); window && window->isWindow())
                _shown << window;
        return false;
    }

private:
    QList<QPointer<QWidget>> _shown;
};

void refuse(const QDBusMessage& call, const QString& text) {
    std::fprintf(stderr, "hollin: %s\n", text.toUtf8().constData());
    if (call.type() != QDBusMessage::MethodCallMessage)
        return;
    call.setDelayedReply(true);
    QDBusConnection::sessionBus().send(call.createErrorReply(QDBusError::InvalidArgs, text));
}

} // namespace

HLNApplicationService::HLNApplicationService(QObject* exportedObject, HLNController* controller)
    : QDBusAbstractAdaptor(exportedObject), _controller(controller) {}

std::optional<std::string> HLNApplicationService::pathForFileURI(const QString& uri) {
    // URIs are ASCII; anything else is taken as the UTF-8 it arrived in.
    const QByteArray text = uri.toUtf8();
    if (!text.toLower().startsWith("file://"))
        return std::nullopt;
    const QByteArray rest = text.mid(7);
    const qsizetype slash = rest.indexOf('/');
    if (slash < 0)
        return std::nullopt;
    const QByteArray host = rest.left(slash);
    if (!host.isEmpty() && host.toLower() != "localhost")
        return std::nullopt;
    const QByteArray encoded = rest.mid(slash);
    if (encoded.contains('#'))
        return std::nullopt;
    std::string path;
    path.reserve(encoded.size());
    for (qsizetype i = 0; i < encoded.size(); ++i) {
        char c = encoded[i];
        if (c == '%') {
            const int high = i + 2 < encoded.size() ? hexValue(encoded[i + 1]) : -1;
            const int low = high >= 0 ? hexValue(encoded[i + 2]) : -1;
            if (low < 0)
                return std::nullopt;
            c = static_cast<char>(high * 16 + low);
            i += 2;
        }
        if (c == '\0')
            return std::nullopt;
        path.push_back(c);
    }
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

QVariantMap HLNApplicationService::platformDataFromEnvironment(const QByteArray& startupId,
                                                               const QByteArray& activationToken) {
    QVariantMap data;
    if (!startupId.isEmpty())
        data.insert("desktop-startup-id", QString::fromUtf8(startupId));
    if (!activationToken.isEmpty())
        data.insert("activation-token", QString::fromUtf8(activationToken));
    return data;
}

void HLNApplicationService::Activate(const QVariantMap& platformData) {
    if (!_controller)
        return;
    _controller->openDriveList();
    HLNStartupNotification::completeStartup(
        HLNDriveListController::sharedInstance()->window(),
        HLNStartupNotification::tokenFromPlatformData(platformData));
}

void HLNApplicationService::Open(const QStringList& uris, const QVariantMap& platformData,
                                 const QDBusMessage& message) {
    if (!_controller)
        return;
    std::vector<std::string> paths;
    QStringList refused, failed;
    for (const QString& uri : uris) {
        if (std::optional<std::string> path = pathForFileURI(uri))
            paths.push_back(std::move(*path));
        else
            refused << uri;
    }
    QWidget* opened = nullptr;
    {
        ShownWindows shown;
        // What opened no window was said in the instance; the caller hears
        // of it too, so that a `hollin` handing it over fails.
        for (const std::string& path : _controller->openPaths(paths))
            failed << QString::fromStdString(TFString::stringWithDataUTF8(path));
        opened = shown.last();
    }
    HLNStartupNotification::completeStartup(
        opened, HLNStartupNotification::tokenFromPlatformData(platformData));
    QStringList reasons;
    if (!refused.isEmpty())
        reasons << "Hollin opens only local file:// URIs; refused: " + refused.join(", ");
    if (!failed.isEmpty())
        reasons << "Hollin could not open " + failed.join(", ");
    if (!reasons.isEmpty())
        refuse(message, reasons.join("; "));
}

void HLNApplicationService::ActivateAction(const QString& name, const QVariantList&,
                                           const QVariantMap& platformData,
                                           const QDBusMessage& message) {
    if (!_controller)
        return;
    if (name == "drive-list") {
        Activate(platformData);
    } else if (name == "quit") {
        _controller->applicationShouldTerminate();
    } else {
        refuse(message, "Hollin has no action named " + name);
    }
}

std::optional<int>
HLNApplicationService::handOverToRunningInstance(const std::vector<std::string>& paths,
                                                 const QVariantMap& platformData) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    const char* service = HLNServicesProvider::kServiceName;
    if (!bus.isConnected() || !bus.interface())
        return std::nullopt;
    if (!bus.interface()->isServiceRegistered(service).value())
        return std::nullopt;

    QDBusMessage call;
    if (paths.empty()) {
        call = QDBusMessage::createMethodCall(service, HLNServicesProvider::kObjectPath, kInterface,
                                              "Activate");
        call << platformData;
    } else {
        QStringList uris;
        for (const std::string& path : paths)
            uris << QString::fromLatin1(HLNWorkspace::fileURLForPath(path).toEncoded());
        call = QDBusMessage::createMethodCall(service, HLNServicesProvider::kObjectPath, kInterface,
                                              "Open");
        call << uris << platformData;
    }
    // This process is the instance when the running one has just gone: the
    // bus must not start yet another.
    call.setAutoStartService(false);
    const QDBusMessage reply = bus.call(call, QDBus::Block, 10000);
    if (reply.type() == QDBusMessage::ErrorMessage) {
        if (reply.errorName() == "org.freedesktop.DBus.Error.ServiceUnknown" ||
            reply.errorName() == "org.freedesktop.DBus.Error.NameHasNoOwner")
            return std::nullopt;
        std::fprintf(stderr, "hollin: %s\n", reply.errorMessage().toUtf8().constData());
        return 1;
    }
    return 0;
}
