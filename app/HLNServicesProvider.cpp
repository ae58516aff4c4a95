#include "app/HLNServicesProvider.h"

#include "app/HLNApplicationService.h"
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
    provider->_application->setController(controller);
    return *provider;
}

HLNServicesProvider::HLNServicesProvider(HLNController* controller)
    : _controller(controller), _application(new HLNApplicationService(this, controller)) {
    qDBusRegisterMetaType<QByteArrayList>();
}

bool HLNServicesProvider::registerOnSessionBus() {
    if (_registered) return true;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return false;
    if (!bus.registerObject(kObjectPath, this,
                           QDBusConnection::ExportAllSlots | QDBusConnection::ExportAdaptors)) return false;
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
