#include "app/HLNServicesProvider.h"

#include "app/HLNApplicationService.h"
#include "app/HLNController.h"
#include "toolkit/TFString.h"

#include <QByteArrayList>
#include <QDBusArgument>
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
    if (_registered)
        return true;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    if (!bus.registerObject(kObjectPath, this,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAdaptors))
        return false;
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
    if (_controller)
        _controller->openDriveList();
}

void HLNServicesProvider::Quit() {
    if (_controller)
        _controller->applicationShouldTerminate();
}

// ---------------------------------------------------------------- the pasteboard on the wire

std::optional<std::vector<std::string>>
HLNServicesProvider::filenamesFromValue(const QVariant& value, QString* typeName) {
    std::vector<std::string> paths;
    if (value.metaType() == QMetaType::fromType<QStringList>()) {
        for (const QString& s : value.toStringList())
            paths.push_back(TFString::nameForString(s));
        return paths;
    }
    if (value.metaType() == QMetaType::fromType<QString>()) {
        paths.push_back(TFString::nameForString(value.toString()));
        return paths;
    }
    if (value.metaType() == QMetaType::fromType<QByteArrayList>()) {
        for (const QByteArray& b : value.value<QByteArrayList>())
            paths.push_back(b.toStdString());
        return paths;
    }
    if (value.metaType() == QMetaType::fromType<QVariantList>()) {
        for (const QVariant& item : value.toList()) {
            if (item.metaType() == QMetaType::fromType<QString>())
                paths.push_back(TFString::nameForString(item.toString()));
            else if (item.metaType() == QMetaType::fromType<QByteArray>())
                paths.push_back(item.toByteArray().toStdString());
            else {
                *typeName = QString::fromLatin1(item.typeName());
                return std::nullopt;
            }
        }
        return paths;
    }
    if (value.metaType() == QMetaType::fromType<QDBusArgument>()) {
        const QDBusArgument arg = value.value<QDBusArgument>();
        const QString signature = arg.currentSignature();
        if (signature == "as") {
            QStringList list;
            arg >> list;
            for (const QString& s : list)
                paths.push_back(TFString::nameForString(s));
            return paths;
        }
        if (signature == "aay") {
            arg.beginArray();
            while (!arg.atEnd()) {
                QByteArray bytes;
                arg >> bytes;
                paths.push_back(bytes.toStdString());
            }
            arg.endArray();
            return paths;
        }
        *typeName = "D-Bus " + signature;
        return std::nullopt;
    }
    *typeName = QString::fromLatin1(value.typeName() ? value.typeName() : "nothing");
    return std::nullopt;
}
