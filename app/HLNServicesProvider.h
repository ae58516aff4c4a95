#pragma once

#include <QObject>
#include <QString>
#include <QVariantMap>
#include <optional>
#include <string>
#include <vector>

class HLNController;

// The hand-over point for other programs: a D-Bus object on the session bus
// that passes a pasteboard of file names to the controller's service entry.
// A second `hollin FOLDER...` finds the running one through it and exits.
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

    // Client side. Answers the exit status when a running instance took the
    // request (0, or 1 when it refused), nullopt when none runs. With no
    // paths it asks the running instance to show the drive list.
    static std::optional<int> handOverToRunningInstance(const std::vector<std::string>& paths);

    // The wire form of a pasteboard of file names, both ways. A second
    // hollin sends its names as byte arrays, since names need not be UTF-8
    // and D-Bus strings must be.
    static QVariantMap pasteboardWithFilenames(const std::vector<std::string>& paths);
    // The paths in a pasteboard's file-name value as it arrives: text from
    // other programs (a string or a list of strings), bytes from a second
    // hollin, directly or still in D-Bus form ("as", "aay"). nullopt, with
    // *typeName saying what came instead, for anything else.
    static std::optional<std::vector<std::string>> filenamesFromValue(const QVariant& value, QString* typeName);

public slots:
    // Answers the empty string on success, else the error text.
    QString SizeFilesOnPasteboard(const QVariantMap& pasteboard, const QString& userData);
    void OpenDriveList();
    // Asks for termination as the Quit command does (for scripts).
    void Quit();

private:
    explicit HLNServicesProvider(HLNController* controller);
    HLNController* _controller;
    bool _registered = false;
};
