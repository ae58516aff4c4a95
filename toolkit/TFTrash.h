#pragma once

#include <string>

// Moving entries to the freedesktop.org trash, through GLib's GIO.
//
// Paths are raw bytes: GIO's g_file_trash is handed a GFile made from them
// unchanged. Qt's QFile::moveToTrash is not used, since it takes a QString
// and so cannot address a name that is not valid UTF-8.
//
// GIO chooses the trash by the freedesktop trash rules: the home trash
// ($XDG_DATA_HOME/Trash) for entries on the home folder's file system,
// otherwise $topdir/.Trash/$uid or $topdir/.Trash-$uid on the entry's own
// volume, and writes the .trashinfo (Path percent-encoded byte by byte,
// DeletionDate in local time). It only ever renames, so nothing is copied
// and nothing is lost when it fails. Any thread; no lock is taken.
namespace TFTrash {

struct Outcome {
    bool moved = false;
    // When moved: the trash folder used (the one holding files/ and info/),
    // or empty when it could not be told.
    std::string trashFolder;
    // When not moved: why, as a short phrase for the user.
    std::string reason;
    // Not moved because nothing is at the path (any more).
    bool vanished = false;
    // When moved: its name in the trash folder's files/ (and, with
    // ".trashinfo", in info/); empty when it could not be told.
    std::string trashedName;
};

Outcome moveToTrash(const std::string& path);

// Puts an entry moved to the trash back where its .trashinfo says it came
// from, and removes the .trashinfo. Never replaces anything: when an entry
// is there already, or the folder it came from is gone, nothing moves and
// the reason says why. Answers the path restored to in restoredPath.
struct Restoration {
    bool restored = false;
    std::string restoredPath;
    std::string reason;
};
Restoration restoreFromTrash(const std::string& trashFolder, const std::string& trashedName);

} // namespace TFTrash
