#include "browser/HLNWorkspace.h"

#include "browser/HLNDesktopOpener.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFile>
#include <QMimeDatabase>
#include <QPainter>
#include <QStyle>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::string HLNWorkspace::parentPath(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    const size_t slash = p.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return p.substr(0, slash);
}

QUrl HLNWorkspace::fileURLForPath(const std::string& path) {
    return QUrl::fromEncoded("file://" + QByteArray::fromStdString(path).toPercentEncoding("/"));
}

std::string HLNWorkspace::pathForFileURL(const QUrl& url) {
    return QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1()).toStdString();
}

void HLNWorkspace::selectFile(const std::string& path) {
    const std::string folder = parentPath(path);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        HLNDesktopOpener::openFolderShowingPath(folder, path, "org.freedesktop.FileManager1: there is no session bus");
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                                                       "org.freedesktop.FileManager1", "ShowItems");
    call << QStringList{QString::fromLatin1(fileURLForPath(path).toEncoded())} << QString();
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), qApp);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, qApp, [watcher, folder, path] {
        if (watcher->isError())
            HLNDesktopOpener::openFolderShowingPath(
                folder, path, "org.freedesktop.FileManager1 on the session bus: " + watcher->error().message());
        watcher->deleteLater();
    });
}

void HLNWorkspace::revealPaths(const std::vector<std::string>& paths) {
    for (const std::string& path : paths) selectFile(path);
}

QIcon HLNWorkspace::iconForFile(const std::string& path) {
    QStyle* style = QApplication::style();
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return QIcon::fromTheme("text-x-generic", style->standardIcon(QStyle::SP_FileIcon));
    if (S_ISDIR(st.st_mode))
        return QIcon::fromTheme("folder", QIcon::fromTheme("inode-directory", style->standardIcon(QStyle::SP_DirIcon)));
    if (S_ISLNK(st.st_mode))
        return QIcon::fromTheme("emblem-symbolic-link", style->standardIcon(QStyle::SP_FileLinkIcon));

    QMimeDatabase mimes;
    const std::string name = path.substr(path.rfind('/') + 1);
    QByteArray head;
    if (S_ISREG(st.st_mode)) {
        // Only the first bytes, read without following links or blocking.
        int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            head.resize(512);
            ssize_t n = ::read(fd, head.data(), head.size());
            head.resize(n > 0 ? n : 0);
            ::close(fd);
        }
    }
    const QMimeType type = mimes.mimeTypeForFileNameAndData(QFile::decodeName(name.c_str()), head);
    const QIcon fallback = QIcon::fromTheme(type.genericIconName(),
                                            QIcon::fromTheme("text-x-generic", style->standardIcon(QStyle::SP_FileIcon)));
    return QIcon::fromTheme(type.iconName(), fallback);
}

QIcon HLNWorkspace::iconForFiles(const std::vector<std::string>& paths) {
    if (paths.empty()) return QIcon();
    if (paths.size() == 1) return iconForFile(paths.front());
    // A small stack of the first icons, back to front, standing for "several".
    const int size = 64, step = 8;
    const int layers = paths.size() >= 3 ? 3 : 2;
    const int side = size - step * (layers - 1);
    QPixmap stack(size, size);
    stack.fill(Qt::transparent);
    QPainter painter(&stack);
    for (int i = layers - 1; i >= 0; --i) {
        const QPixmap layer = iconForFile(paths[i]).pixmap(side, side);
        painter.drawPixmap(step * i, step * (layers - 1 - i), layer);
    }
    painter.end();
    return QIcon(stack);
}
