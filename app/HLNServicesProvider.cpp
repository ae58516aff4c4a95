#include "app/HLNServicesProvider.h"

#include "app/HLNController.h"

#include <QByteArrayList>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusReply>
#include <cstdio>

HLNServicesProvider& HLNServicesProvider::shared(HLNController* controller) {
    static HLNServicesProvider* provider = new HLNServicesProvider(controller);
    provider->_controller = controller;
    return *provider;
}

HLNServicesProvider::HLNServicesProvider(HLNController* controller) : _controller(controller) {
    qDBusRegisterMetaType<QByteArrayList>();
}

bool HLNServicesProvider::registerOnSessionBus() {
    if (_registered) return true;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return false;
    if (!bus.registerObject(kObjectPath, this, QDBusConnection::ExportAllSlots)) return false;
    if (!bus.registerService(kServiceName)) {
        bus.unregisterObject(kObjectPath);
        return false;
    }
    _registered = true;
    return true;
}

QString HLNServicesProvider::SizeFilesOnPasteboard(const QVariantMap& pasteboard,
                                                   const QString& userData) {
    QString error;
    if (!_controller || !_controller->serviceSizeFilesOnPasteboard(pasteboard, userData, &error))
        return error.isEmpty() ? QStringLiteral("Error: couldn't size file.") : error;
    return QString();
}

void HLNServicesProvider::OpenDriveList() {
    if (_controller) _controller->openDriveList();
}

void HLNServicesProvider::Quit() {
    if (_controller) _controller->applicationShouldTerminate();
}

std::optional<int> HLNServicesProvider::handOverToRunningInstance(
    const std::vector<std::string>& paths) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface()) return std::nullopt;
    if (!bus.interface()->isServiceRegistered(kServiceName).value()) return std::nullopt;

    QDBusMessage call;
    if (paths.empty()) {
        call = QDBusMessage::createMethodCall(kServiceName, kObjectPath, kServiceName, "OpenDriveList");
    } else {
        qDBusRegisterMetaType<QByteArrayList>();
        QByteArrayList bytes;
        for (const auto& p : paths) bytes << QByteArray::fromStdString(p);
        QVariantMap pasteboard;
        pasteboard.insert(HLNController::kFilenamesPboardType, QVariant::fromValue(bytes));
        call = QDBusMessage::createMethodCall(kServiceName, kObjectPath, kServiceName,
                                              "SizeFilesOnPasteboard");
        call << pasteboard << QString();
    }
    QDBusMessage reply = bus.call(call, QDBus::Block, 10000);
    if (reply.type() == QDBusMessage::ErrorMessage) {
        // The name vanished between the check and the call: start anew here.
        if (reply.errorName() == "org.freedesktop.DBus.Error.ServiceUnknown") return std::nullopt;
        std::fprintf(stderr, "hollin: %s\n", reply.errorMessage().toUtf8().constData());
        return 1;
    }
    if (!paths.empty() && !reply.arguments().isEmpty()) {
        QString error = reply.arguments().first().toString();
        if (!error.isEmpty()) {
            std::fprintf(stderr, "%s\n", error.toUtf8().constData());
            return 1;
        }
    }
    return 0;
}
