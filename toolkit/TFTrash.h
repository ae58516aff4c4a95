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
};

Outcome moveToTrash(const std::string& path);

} // namespace TFTrash
