#include "browser/HLNDesktopOpener.h"

#include "browser/HLNWorkspace.h"
#include "toolkit/TFDirectory.h"
#include "toolkit/TFFile.h"
#include "toolkit/TFProcess.h"
#include "toolkit/TFString.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusUnixFileDescriptor>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QTimer>
#include <cerrno>
#include <cstring>
#include <memory>
#include <sys/wait.h>
#include <vector>

namespace {

struct Failure {
    QPointer<QMessageBox> box;
    QStringList paths;
};
Failure& failure(HLNDesktopOpener::Purpose purpose) {
    static Failure* shared = new Failure[2];
    return shared[purpose == HLNDesktopOpener::Purpose::Reveal ? 0 : 1];
}

QString exitText(int status) {
    if (WIFEXITED(status))
        return QString("it exited with status %1").arg(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return QString("it was ended by signal %1").arg(WTERMSIG(status));
    return "it ended abnormally";
}

// Reaps the child without blocking. A failure in the first seconds is
// reported; xdg-open may stay as long as the file manager it ran, so after
// that the child is only reaped.
void watchOpener(HLNDesktopOpener::Purpose purpose, pid_t pid, std::string path,
                 QStringList tried) {
    auto* timer = new QTimer(qApp);
    auto ticks = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, timer, [=] {
        int status = 0;
        const pid_t done = TFProcess::collectIfEnded(pid, &status);
        if (done == 0) {
            if (++*ticks == 50)
                timer->setInterval(2000);
            return;
        }
        if (done == pid && *ticks < 50 && !(WIFEXITED(status) && WEXITSTATUS(status) == 0))
            HLNDesktopOpener::reportFailure(purpose, path,
                                            tried + QStringList{"xdg-open: " + exitText(status)});
        timer->deleteLater();
    });
    timer->start(100);
}

} // namespace

QString HLNDesktopOpener::defaultFolderHandler(QString* error) {
    QProcess query;
    query.start("xdg-mime", {"query", "default", "inode/directory"});
    if (!query.waitForStarted(3000)) {
        *error = "xdg-mime could not be run";
        return QString();
    }
    if (!query.waitForFinished(3000)) {
        query.kill();
        query.waitForFinished(1000);
        *error = "xdg-mime did not answer";
        return QString();
    }
    return QString::fromUtf8(query.readAllStandardOutput()).trimmed();
}

void HLNDesktopOpener::openFolderShowingPath(const std::string& folder, const std::string& path,
                                             const QString& tried) {
    _runXdgOpen(Purpose::Reveal, folder, true, path, {tried});
}

void HLNDesktopOpener::openPath(const std::string& path) {
    const TFDirectory::Examination ex = TFDirectory::examinePathFollowingLinks(path);
    const bool folder = !ex.error && ex.isDirectory();
    QDBusConnection bus = QDBusConnection::sessionBus();
    // The portal takes the entry as a descriptor: no name to decode.
    const TFFile entry = bus.isConnected() ? TFFile::openReference(path) : TFFile();
    if (!entry.isOpen()) {
        const QString why = bus.isConnected() ? QString::fromLocal8Bit(std::strerror(entry.error()))
                                              : QString("there is no session bus");
        _runXdgOpen(Purpose::Open, path, folder, path, {"the desktop portal: " + why});
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
        "org.freedesktop.portal.OpenURI", "OpenFile");
    call << QString() << QVariant::fromValue(QDBusUnixFileDescriptor(entry.fd())) << QVariantMap();
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), qApp);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, qApp, [watcher, path, folder] {
        if (watcher->isError())
            _runXdgOpen(Purpose::Open, path, folder, path,
                        {"the desktop portal: " + watcher->error().message()});
        watcher->deleteLater();
    });
}

void HLNDesktopOpener::_runXdgOpen(Purpose purpose, const std::string& target, bool folder,
                                   const std::string& path, QStringList attempts) {
    if (QStandardPaths::findExecutable("xdg-open").isEmpty()) {
        reportFailure(purpose, path, attempts << "xdg-open: it is not installed");
        return;
    }
    if (folder) {
        QString error;
        const QString handler = defaultFolderHandler(&error);
        if (!error.isEmpty()) {
            reportFailure(purpose, path,
                          attempts << "xdg-open: not run, since " + error +
                                          " to tell the default folder handler");
            return;
        }
        if (handler.isEmpty()) {
            reportFailure(purpose, path,
                          attempts << "xdg-open: not run, since no default folder handler is "
                                      "set (it could start Hollin itself)");
            return;
        }
        if (handler == kHollinDesktopId) {
            reportFailure(purpose, path,
                          attempts << "xdg-open: not run, since the default folder handler is "
                                      "Hollin itself");
            return;
        }
    }
    // A URL rather than a path: xdg-open then gets the exact bytes even for
    // a name that is not valid UTF-8.
    const std::string url = HLNWorkspace::fileURLForPath(target).toEncoded().toStdString();
    std::vector<char*> argv{const_cast<char*>("xdg-open"), const_cast<char*>(url.c_str()), nullptr};
    pid_t pid = 0;
    if (const int rc = TFProcess::startFromPath("xdg-open", argv.data(), &pid)) {
        reportFailure(purpose, path,
                      attempts << "xdg-open: " + QString::fromLocal8Bit(std::strerror(rc)));
        return;
    }
    watchOpener(purpose, pid, path, attempts);
}

void HLNDesktopOpener::reportFailure(Purpose purpose, const std::string& path,
                                     const QStringList& tried) {
    Failure& shown = failure(purpose);
    if (!shown.box) {
        shown.paths.clear();
        shown.box = new QMessageBox(QMessageBox::Warning, "Hollin", QString(), QMessageBox::Ok);
        shown.box->setObjectName(purpose == Purpose::Reveal ? "revealFailure" : "openFailure");
        shown.box->setAttribute(Qt::WA_DeleteOnClose);
    }
    const QString display = TFString::displayStringForName(path);
    if (!shown.paths.contains(display))
        shown.paths << display;
    const bool reveal = purpose == Purpose::Reveal;
    if (shown.paths.size() == 1)
        shown.box->setText(
            reveal ? QString("Hollin couldn't show \"%1\" in a file manager.").arg(display)
                   : QString("Hollin couldn't open \"%1\".").arg(display));
    else
        shown.box->setText((reveal
                                ? QString("Hollin couldn't show these items in a file manager: %1.")
                                : QString("Hollin couldn't open these items: %1."))
                               .arg("\"" + shown.paths.join("\", \"") + "\""));
    shown.box->setInformativeText("Tried:\n• " + tried.join("\n• "));
    shown.box->show();
    shown.box->raise();
}

QMessageBox* HLNDesktopOpener::failureMessage(Purpose purpose) {
    return failure(purpose).box.data();
}
