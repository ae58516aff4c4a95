#pragma once

#include <QPointer>
#include <QString>
#include <optional>
#include <string>
#include <vector>

class QMessageBox;

// Shows the message that ships with the program (message-of-the-day.txt in
// the program's data folder) once for each distinct text. Shown texts are
// remembered in the user defaults by their SHA-256, so an unchanged message
// never shows twice and a new one shows once. Nothing is fetched from the
// network. The window is not modal, so a start never waits on it; with
// HOLLIN_NO_MOTD set, or with no message file, nothing shows. Main thread.
class TSUMessageOfTheDay {
public:
    static TSUMessageOfTheDay& sharedMessageOfTheDay();

    // Shows the message if it is new. Answers true when it showed one.
    bool checkMessageOfTheDay();

    // Where the message is read from: the first readable of
    // <executable>/../share/hollin/, the installed data folder, and the
    // source tree's resources/ (when run from a build tree).
    static std::vector<std::string> defaultMessagePaths();
    // Tests point this at their own file; empty restores the defaults.
    void setMessagePath(const std::string& path) { _path = path; }
    // The message window last shown, while it is open.
    QMessageBox* messageBox() const { return _box; }

    static constexpr const char* kShownMessagesKey = "TSUShownMessages";

private:
    std::optional<QString> _readMessage() const;
    std::string _path;
    QPointer<QMessageBox> _box;
};
