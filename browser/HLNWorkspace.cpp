#include "browser/HLNWorkspace.h"

#include "browser/HLNDesktopOpener.h"
#include "toolkit/TFString.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QMimeDatabase>
#include <QPainter>
#include <QStyle>
#include <algorithm>

std::string HLNWorkspace::parentPath(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    const size_t slash = p.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return p.substr(0, slash);
}

QUrl HLNWorkspace::fileURLForPath(const std::string& path) {
    return QUrl::fromEncoded("file://" + QByteArray::fromStdString(path).toPercentEncoding("/"));
}

std::string HLNWorkspace::pathForFileURL(const QUrl& url) {
    return QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1()).toStdString();
}

void HLNWorkspace::selectFile(const std::string& path) {
    revealPaths({path});
}

void HLNWorkspace::revealPaths(const std::vector<std::string>& paths) {
    if (paths.empty())
        return;
    // One call names every path, so the file manager opens one window for
    // a selection however large. Should it fail, each distinct parent folder
    // is opened once, and only the first few: 200 revealed files must not
    // mean 200 windows.
    auto fallBack = [paths](const QString& why) {
        constexpr size_t kMostFolders = 4;
        std::vector<std::string> folders;
        for (const std::string& path : paths) {
            const std::string folder = parentPath(path);
            if (std::find(folders.begin(), folders.end(), folder) != folders.end())
                continue;
            if (folders.size() == kMostFolders)
                break;
            folders.push_back(folder);
            HLNDesktopOpener::openFolderShowingPath(folder, path, why);
        }
    };
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        fallBack("org.freedesktop.FileManager1: there is no session bus");
        return;
    }
    QStringList uris;
    for (const std::string& path : paths)
        uris << QString::fromLatin1(fileURLForPath(path).toEncoded());
    QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.FileManager1",
                                                       "/org/freedesktop/FileManager1",
                                                       "org.freedesktop.FileManager1", "ShowItems");
    call << uris << QString();
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), qApp);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, qApp, [watcher, fallBack] {
        if (watcher->isError())
            fallBack("org.freedesktop.FileManager1 on the session bus: " +
                     watcher->error().message());
        watcher->deleteLater();
    });
}

QIcon HLNWorkspace::iconForFile(const std::string& path, Kind kind) {
    QStyle* style = QApplication::style();
    switch (kind) {
    case Kind::folder:
        return QIcon::fromTheme(
            "folder", QIcon::fromTheme("inode-directory", style->standardIcon(QStyle::SP_DirIcon)));
    case Kind::link:
        return QIcon::fromTheme("emblem-symbolic-link",
                                style->standardIcon(QStyle::SP_FileLinkIcon));
    case Kind::file:
    case Kind::unknown:
        break;
    }
    // By the name alone: the content would mean reading the file.
    const std::string name = path.substr(path.rfind('/') + 1);
    const QMimeType type = QMimeDatabase().mimeTypeForFile(TFString::stringForName(name),
                                                           QMimeDatabase::MatchExtension);
    const QIcon fallback = QIcon::fromTheme(
        type.genericIconName(),
        QIcon::fromTheme("text-x-generic", style->standardIcon(QStyle::SP_FileIcon)));
    return QIcon::fromTheme(type.iconName(), fallback);
}

QIcon HLNWorkspace::iconForFiles(const std::vector<std::string>& paths,
                                 const std::vector<Kind>& kinds) {
    auto kindAt = [&kinds](size_t i) { return i < kinds.size() ? kinds[i] : Kind::unknown; };
    if (paths.empty())
        return QIcon();
    if (paths.size() == 1)
        return iconForFile(paths.front(), kindAt(0));
    // A small stack of the first icons, back to front, standing for "several".
    const int size = 64, step = 8;
    const int layers = paths.size() >= 3 ? 3 : 2;
    const int side = size - step * (layers - 1);
    QPixmap stack(size, size);
    stack.fill(Qt::transparent);
    QPainter painter(&stack);
    for (int i = layers - 1; i >= 0; --i) {
        const QPixmap layer = iconForFile(paths[i], kindAt(i)).pixmap(side, side);
        painter.drawPixmap(step * i, step * (layers - 1 - i), layer);
    }
    painter.end();
    return QIcon(stack);
}
