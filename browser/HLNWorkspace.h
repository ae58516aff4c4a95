#pragma once

#include <QIcon>
#include <QUrl>
#include <string>
#include <vector>

// The desktop services a browser window uses: file manager, icons, URLs.
// Paths are raw byte strings; nothing here decodes them for disk access.
// Main thread only.
class HLNWorkspace {
public:
    // Asks the desktop's file manager (org.freedesktop.FileManager1 on the
    // session bus) to show the path selected in a window of its parent
    // folder. Returns at once; when no file manager answers, the parent
    // folder is opened with the default folder handler (HLNDesktopOpener),
    // or the user is told why it could not be.
    static void selectFile(const std::string& path);
    // Every path in one call to the file manager; failing that, each
    // distinct parent folder opened once, the first few only.
    static void revealPaths(const std::vector<std::string>& paths);

    // The path without its last component ("/a/b" -> "/a", "/a" -> "/").
    static std::string parentPath(const std::string& path);
    // A file:// URL that keeps every byte of the path.
    static QUrl fileURLForPath(const std::string& path);
    // The bytes of a local file URL's path, exactly as they were encoded.
    static std::string pathForFileURL(const QUrl& url);

    // What the caller knows of an entry; the icons never ask the disk (the
    // main thread draws them, and a hung mount must not freeze it).
    enum class Kind { unknown, file, folder, link };
    // One path: that file's own icon (folder, link, or by the content type
    // its name gives). Several: the icons of the first few stacked. None: a
    // null icon. Kinds go with the paths by position; missing ones are unknown.
    static QIcon iconForFiles(const std::vector<std::string>& paths,
                              const std::vector<Kind>& kinds = {});
    static QIcon iconForFile(const std::string& path, Kind kind = Kind::unknown);
};
