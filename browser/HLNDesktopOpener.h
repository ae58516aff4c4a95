#pragma once

#include <QString>
#include <QStringList>
#include <string>

class QMessageBox;

// Hands entries to the desktop's default applications: the Open command
// (the desktop portal, else xdg-open) and the last resort of revealing (the
// folder with the default folder handler, through xdg-open). Hollin's
// desktop entry offers it for folders, so xdg-open on a folder could start
// Hollin itself: the default folder handler is asked for first (xdg-mime),
// and Hollin, or no handler at all, is never used. Whatever cannot be done
// is told to the user, naming the path and each attempt.
// Paths are byte strings and reach the desktop as file:// URLs or file
// descriptors, so every byte is kept. Main thread only.
class HLNDesktopOpener {
public:
    static constexpr const char* kHollinDesktopId = "io.hollin.Hollin.desktop";
    enum class Purpose { Reveal, Open };

    // Opens `folder` to show `path`; `tried` says what already failed
    // ("org.freedesktop.FileManager1 on the session bus: ..."). Returns at
    // once; a failure found later is still reported.
    static void openFolderShowingPath(const std::string& folder, const std::string& path,
                                      const QString& tried);
    // Opens the entry with its default application. Returns at once.
    static void openPath(const std::string& path);

    // The desktop id xdg-mime gives for folders; empty when none is set.
    // *error is set when xdg-mime could not be asked.
    static QString defaultFolderHandler(QString* error);

    // Tells the user that the path could not be revealed or opened, with
    // each attempt and why it failed. Paths failing while the message is
    // open join it.
    static void reportFailure(Purpose purpose, const std::string& path, const QStringList& tried);
    // The message on screen for that purpose, if any (for tests).
    static QMessageBox* failureMessage(Purpose purpose);

private:
    static void _runXdgOpen(Purpose purpose, const std::string& target, bool folder,
                            const std::string& path, QStringList tried);
};
