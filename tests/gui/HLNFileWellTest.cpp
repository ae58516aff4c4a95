#include "browser/HLNFileWell.h"

#include "browser/HLNDesktopOpener.h"
#include "browser/HLNWorkspace.h"
#include "support/TempTree.h"
#include "support/WidgetEvents.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QFile>
#include <QMessageBox>
#include <QMimeData>
#include <QProcess>
#include <QTimer>
#include <algorithm>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>

namespace {

// Stands in for the desktop's file manager on a private session bus.
class FileManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
public:
    QStringList shown;
    int calls = 0;
public slots:
    void ShowItems(const QStringList& uris, const QString&) {
        shown += uris;
        ++calls;
    }
};

// A private dbus-daemon for the whole program, started before anything
// touches the session bus.
class PrivateBus : public ::testing::Environment {
public:
    static inline QProcess* daemon = nullptr;
    static inline QString address;
    void SetUp() override {
        daemon = new QProcess;
        // The bus goes with the test program even when the program crashes.
        daemon->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        daemon->start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
        if (!daemon->waitForStarted(5000) || !daemon->waitForReadyRead(5000))
            return;
        address = QString::fromUtf8(daemon->readLine()).trimmed();
        qputenv("DBUS_SESSION_BUS_ADDRESS", address.toUtf8());
    }
    void TearDown() override {
        if (!daemon)
            return;
        daemon->kill();
        daemon->waitForFinished(3000);
        delete daemon;
    }
};
const auto* const privateBus = ::testing::AddGlobalTestEnvironment(new PrivateBus);

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool waitFor(const std::function<bool()>& done, int ms = 5000) {
    QDeadlineTimer deadline(ms);
    while (!done() && !deadline.hasExpired())
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

// xdg-mime and xdg-open stand-ins first on PATH (and alone on it when
// xdg-open is to be missing): xdg-mime answers `handler` for folders, xdg-open
// logs its argument and exits with `status`.
struct FakeDesktop {
    FakeDesktop(const TempTree& tree, const std::string& handler, int status,
                bool withXdgOpen = true)
        : bin(tree.mkdir("bin-" + std::to_string(++made))), log(bin + "/opened"),
          oldPath(qgetenv("PATH")) {
        write("xdg-mime", "echo '" + handler + "'");
        if (withXdgOpen)
            write("xdg-open", "echo \"$1\" >> '" + log + "'\nexit " + std::to_string(status));
        qputenv("PATH",
                QByteArray::fromStdString(bin) + (withXdgOpen ? ":" + oldPath : QByteArray()));
    }
    ~FakeDesktop() { qputenv("PATH", oldPath); }
    void write(const std::string& name, const std::string& body) const {
        std::ofstream(bin + "/" + name) << "#!/bin/sh\n" << body << "\n";
        ::chmod((bin + "/" + name).c_str(), 0755);
    }
    static inline int made = 0;
    std::string bin, log;
    QByteArray oldPath;
};

class FileWell : public ::testing::Test {
protected:
    void SetUp() override {
        well.resize(64, 64);
        well.show();
        QApplication::processEvents();
        QObject::connect(&well, &HLNFileWell::dragStarted, [this](const QMimeData* data) {
            ++drags;
            dragged = data->urls();
            uriList = data->data("text/uri-list");
            // End the platform's drag loop as a user letting go over nothing
            // would. Bound to the well: when the drag has already ended, the
            // release must not outlive this fixture.
            QTimer::singleShot(0, &well, [this] { WidgetEvents::release(&well, QPointF(0, 0)); });
        });
    }
    const QPointF centre{32, 32};
    HLNFileWell well;
    TempTree tree;
    int drags = 0;
    QList<QUrl> dragged;
    QByteArray uriList;
};

TEST_F(FileWell, FilenamesAreCopiesBothWays) {
    std::vector<std::string> given{tree.writeFile("a", 10), tree.writeFile("b", 10)};
    well.setFilenames(given);
    given.push_back("/elsewhere");
    EXPECT_EQ(well.filenames().size(), 2u) << "the well keeps its own copy";

    std::vector<std::string> answered = well.filenames();
    answered.clear();
    EXPECT_EQ(well.filenames().size(), 2u) << "changing an answer leaves the well alone";
    std::vector<std::string> earlier = well.filenames();
    well.setFilenames({tree / "a"});
    EXPECT_EQ(earlier.size(), 2u) << "a later set leaves an earlier answer alone";
    EXPECT_EQ(well.filenames(), std::vector<std::string>{tree / "a"});
}

TEST_F(FileWell, IconStandsForNoneOneOrSeveralFiles) {
    EXPECT_FALSE(well.hasImage());
    using Kind = HLNWorkspace::Kind;
    // The kind the caller knows is drawn, and the disk is never asked: these
    // paths do not exist.
    well.setFilenames({tree / "folder"}, {Kind::folder});
    ASSERT_TRUE(well.hasImage());
    const QImage folder = well.image().pixmap(48).toImage();
    well.setFilenames({tree / "notes.txt"}, {Kind::file});
    const QImage text = well.image().pixmap(48).toImage();
    EXPECT_NE(folder, text) << "each file shows its own kind of icon";
    well.setFilenames({tree.mkdir("real")}); // a folder, but the well is not told
    EXPECT_NE(well.image().pixmap(48).toImage(), folder) << "the disk was asked what the path is";
    well.setFilenames({tree / "folder", tree / "notes.txt", tree / "folder"},
                      {Kind::folder, Kind::file, Kind::folder});
    const QImage several = well.image().pixmap(48).toImage();
    EXPECT_NE(several, text);
    EXPECT_NE(several, folder);
    well.setFilenames({});
    EXPECT_FALSE(well.hasImage());
}

TEST_F(FileWell, DragStartsOnlyBeyondTheSlopAndCarriesExactBytes) {
    const std::string odd = tree.writeFile(std::string("caf\xe9 #1%?.txt"), 100);
    const std::string plain = tree.writeFile("r\xc3\xa9sum\xc3\xa9.pdf", 100);
    well.setFilenames({odd, plain});

    WidgetEvents::advance(5000);
    WidgetEvents::press(&well, centre);
    WidgetEvents::move(&well, centre + QPointF(3, 2)); // 3.6 points
    WidgetEvents::move(&well, centre + QPointF(0, 4)); // exactly 4
    EXPECT_EQ(drags, 0);
    WidgetEvents::move(&well, centre + QPointF(3, 3)); // 4.2 points
    EXPECT_EQ(drags, 1);
    WidgetEvents::release(&well, centre + QPointF(3, 3));

    ASSERT_EQ(dragged.size(), 2);
    EXPECT_TRUE(dragged[0].isLocalFile());
    EXPECT_EQ(HLNWorkspace::pathForFileURL(dragged[0]), odd);
    EXPECT_EQ(HLNWorkspace::pathForFileURL(dragged[1]), plain);
    // What another program reads: one URL per CRLF-ended line, bytes intact.
    QList<QByteArray> lines = uriList.split('\n');
    ASSERT_GE(lines.size(), 2);
    const QUrl first = QUrl::fromEncoded(lines[0].trimmed());
    EXPECT_EQ(
        QByteArray::fromPercentEncoding(first.path(QUrl::FullyEncoded).toLatin1()).toStdString(),
        odd);
    struct stat st {};
    EXPECT_EQ(::lstat(HLNWorkspace::pathForFileURL(first).c_str(), &st), 0)
        << "the URL names the real file";

    // A press released in place is a plain click: nothing happens.
    WidgetEvents::click(&well, centre);
    EXPECT_EQ(drags, 1);
}

TEST_F(FileWell, EmptyWellNeitherDragsNorCounts) {
    WidgetEvents::advance(5000);
    WidgetEvents::press(&well, centre);
    WidgetEvents::move(&well, centre + QPointF(20, 0));
    WidgetEvents::release(&well, centre + QPointF(20, 0));
    EXPECT_EQ(drags, 0);
    EXPECT_EQ(well.clickCount(), 0);
}

TEST_F(FileWell, DoubleClickRevealsEachPathInOrderAndTripleClickDoesNothingMore) {
    ASSERT_FALSE(PrivateBus::address.isEmpty()) << "dbus-daemon did not start";
    QDBusConnection service = QDBusConnection::connectToBus(PrivateBus::address, "file-manager");
    FileManager manager;
    ASSERT_TRUE(service.registerObject("/org/freedesktop/FileManager1", &manager,
                                       QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(service.registerService("org.freedesktop.FileManager1"));

    const std::vector<std::string> paths{tree.writeFile("one", 1), tree.writeFile("two\xff", 1),
                                         tree.writeFile("three", 1)};
    well.setFilenames(paths);
    WidgetEvents::doubleClick(&well, centre);
    EXPECT_EQ(well.clickCount(), 2);
    ASSERT_TRUE(waitFor([&] { return manager.shown.size() == 3; }));
    EXPECT_EQ(manager.calls, 1) << "one file manager window for the whole selection";
    for (size_t i = 0; i < paths.size(); ++i)
        EXPECT_EQ(HLNWorkspace::pathForFileURL(QUrl::fromEncoded(manager.shown[i].toLatin1())),
                  paths[i]);

    // The third press of a triple click reveals nothing and starts no drag.
    WidgetEvents::advance(50);
    WidgetEvents::press(&well, centre);
    EXPECT_EQ(well.clickCount(), 3);
    WidgetEvents::move(&well, centre + QPointF(10, 0));
    WidgetEvents::release(&well, centre + QPointF(10, 0));
    waitFor([] { return false; }, 300);
    EXPECT_EQ(manager.shown.size(), 3);
    EXPECT_EQ(drags, 0);

    // With no file manager on the bus, the default folder handler opens the
    // parent folder.
    service.unregisterService("org.freedesktop.FileManager1");
    QDBusConnection::disconnectFromBus("file-manager");
    const FakeDesktop desktop(tree, "org.example.Files.desktop", 0);
    const std::string inner = tree.mkdir("sub\xfe") + "/file";
    HLNWorkspace::selectFile(inner);
    EXPECT_TRUE(waitFor([&] { return !readAll(desktop.log).empty(); }));
    const QUrl opened =
        QUrl::fromEncoded(QByteArray::fromStdString(readAll(desktop.log)).trimmed());
    EXPECT_EQ(HLNWorkspace::pathForFileURL(opened), tree / "sub\xfe");
    EXPECT_EQ(HLNDesktopOpener::failureMessage(HLNDesktopOpener::Purpose::Reveal), nullptr);

    // Many paths in a few folders open each folder once, and only a handful.
    const FakeDesktop many(tree, "org.example.Files.desktop", 0);
    std::vector<std::string> selection;
    for (int folder = 0; folder < 8; ++folder)
        for (int file = 0; file < 25; ++file)
            selection.push_back(tree /
                                ("d" + std::to_string(folder) + "/f" + std::to_string(file)));
    HLNWorkspace::revealPaths(selection);
    auto lines = [&] {
        const std::string log = readAll(many.log);
        return std::count(log.begin(), log.end(), '\n');
    };
    waitFor([&] { return lines() >= 4; }, 3000);
    waitFor([] { return false; }, 300);
    const std::string log = readAll(many.log);
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 4) << log;
}

// Reveal that reaches no file manager tells the user, naming the path and
// each attempt, and never hands a folder to Hollin itself.
TEST_F(FileWell, RevealThatReachesNoFileManagerSaysWhatWasTried) {
    const std::string path = tree.mkdir("dir\xfe") + "/file";
    auto revealAndWaitForMessage = [&] {
        HLNWorkspace::selectFile(path);
        EXPECT_TRUE(waitFor(
            [] { return HLNDesktopOpener::failureMessage(HLNDesktopOpener::Purpose::Reveal); }));
        QMessageBox* box = HLNDesktopOpener::failureMessage(HLNDesktopOpener::Purpose::Reveal);
        if (!box)
            return QString();
        const QString said = box->text() + "\n" + box->informativeText();
        EXPECT_TRUE(box->isVisible());
        EXPECT_TRUE(said.contains("Hollin couldn't show \"" + QString::fromStdString(tree.path()) +
                                  "/dir\\xFE/file\""))
            << said.toStdString();
        EXPECT_TRUE(said.contains("org.freedesktop.FileManager1")) << said.toStdString();
        box->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return said;
    };
    {
        const FakeDesktop desktop(tree, HLNDesktopOpener::kHollinDesktopId, 0);
        EXPECT_TRUE(revealAndWaitForMessage().contains("Hollin itself"));
        EXPECT_TRUE(readAll(desktop.log).empty())
            << "xdg-open ran with Hollin as the folder handler";
    }
    {
        const FakeDesktop desktop(tree, "", 0);
        EXPECT_TRUE(revealAndWaitForMessage().contains("no default folder handler"));
        EXPECT_TRUE(readAll(desktop.log).empty());
    }
    {
        const FakeDesktop desktop(tree, "org.example.Files.desktop", 4);
        EXPECT_TRUE(revealAndWaitForMessage().contains("xdg-open: it exited with status 4"));
        EXPECT_FALSE(readAll(desktop.log).empty());
    }
    {
        const FakeDesktop desktop(tree, "org.example.Files.desktop", 0, /*withXdgOpen=*/false);
        EXPECT_TRUE(revealAndWaitForMessage().contains("xdg-open: it is not installed"));
    }
}

// Open with no desktop portal on the bus falls back to xdg-open, with the
// same guard for folders.
TEST_F(FileWell, OpenWithoutAPortalUsesXdgOpenButNeverHollinForAFolder) {
    const std::string file = tree.writeFile("note\xfe.txt", 10);
    {
        const FakeDesktop desktop(tree, HLNDesktopOpener::kHollinDesktopId, 0);
        HLNDesktopOpener::openPath(file);
        ASSERT_TRUE(waitFor([&] { return !readAll(desktop.log).empty(); }));
        const QUrl opened =
            QUrl::fromEncoded(QByteArray::fromStdString(readAll(desktop.log)).trimmed());
        EXPECT_EQ(HLNWorkspace::pathForFileURL(opened), file);

        HLNDesktopOpener::openPath(tree.path());
        ASSERT_TRUE(waitFor(
            [] { return HLNDesktopOpener::failureMessage(HLNDesktopOpener::Purpose::Open); }));
        QMessageBox* box = HLNDesktopOpener::failureMessage(HLNDesktopOpener::Purpose::Open);
        EXPECT_TRUE(box->text().startsWith("Hollin couldn't open"));
        EXPECT_TRUE(box->informativeText().contains("the desktop portal"))
            << box->informativeText().toStdString();
        EXPECT_TRUE(box->informativeText().contains("Hollin itself"));
        const std::string log = readAll(desktop.log);
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << "xdg-open ran for the folder";
        box->close();
    }
}

TEST(Workspace, ParentPaths) {
    EXPECT_EQ(HLNWorkspace::parentPath("/a/b/c"), "/a/b");
    EXPECT_EQ(HLNWorkspace::parentPath("/a"), "/");
    EXPECT_EQ(HLNWorkspace::parentPath("/"), "/");
    EXPECT_EQ(HLNWorkspace::parentPath("/a/b/"), "/a");
}

} // namespace

#include "HLNFileWellTest.moc"
