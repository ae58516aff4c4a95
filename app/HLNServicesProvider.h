#pragma once

#include <QObject>
#include <QString>
#include <QVariantMap>
#include <optional>
#include <string>
#include <vector>

class HLNApplicationService;
class HLNController;

// The hand-over point for other programs: a D-Bus object on the session bus
// that passes a pasteboard of file names to the controller's service entry.
// org.freedesktop.Application is exported on the same object.
class HLNServicesProvider : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "io.hollin.Hollin")
public:
    static constexpr const char* kServiceName = "io.hollin.Hollin";
    static constexpr const char* kObjectPath = "/io/hollin/Hollin";

    static HLNServicesProvider& shared(HLNController* controller);
    // Claims the service name; false without a session bus or when another
    // instance already holds it.
    bool registerOnSessionBus();

    // The paths in a pasteboard's file-name value as it arrives on the bus:
    // text (a string or a list of strings), bytes (names need not be UTF-8,
    // and D-Bus strings must be), directly or still in D-Bus form ("as",
    // "aay"). nullopt, with *typeName saying what came instead, otherwise.
    static std::optional<std::vector<std::string>> filenamesFromValue(const QVariant& value,
                                                                      QString* typeName);

public slots:
    // Answers the empty string on success, else the error text.
    QString SizeFilesOnPasteboard(const QVariantMap& pasteboard, const QString& userData);
    void OpenDriveList();
    // Asks for termination as the Quit command does (for scripts).
    void Quit();

private:
    explicit HLNServicesProvider(HLNController* controller);
    HLNController* _controller;
    HLNApplicationService* _application; // child of this object
    bool _registered = false;
};
