#include "drives/gui/HLNDriveListController.h"
#include "support/TempTree.h"
#include "toolkit/TFPreference.h"

#include <QApplication>
#include <QMainWindow>
#include <QMouseEvent>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>
#include <QWidget>
#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

using Classification = HLNDriveListController::Classification;

// Readable failure messages for Qt strings.
void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace {

HLNMountRecord record(std::string type, std::string on, std::string from = "/dev/hollin-none",
                      int64_t blocks = 1000, int64_t bfree = 400, int64_t bavail = 300) {
    HLNMountRecord r;
    r.f_bsize = 4096;
    r.f_blocks = blocks;
    r.f_bfree = bfree;
    r.f_bavail = bavail;
    r.f_fstypename = std::move(type);
    r.f_mntonname = std::move(on);
    r.f_mntfromname = std::move(from);
    return r;
}

Classification classify(std::string type, std::string on, std::string from = "/dev/x") {
    return HLNDriveListController::classifyDrive(
        *HLNDrive::initWithMountStats(record(std::move(type), std::move(on), std::move(from))));
}

std::vector<QString> topLevelNames(QTreeWidget* view) {
    std::vector<QString> names;
    for (int i = 0; i < view->topLevelItemCount(); ++i)
        names.push_back(view->topLevelItem(i)->text(0));
    return names;
}

// A real double-click on a row, as the mouse delivers it.
void doubleClick(QTreeWidget* view, QTreeWidgetItem* item) {
    QPoint at = view->visualItemRect(item).center();
    QPointF global = view->viewport()->mapToGlobal(at);
    for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease,
                              QEvent::MouseButtonDblClick, QEvent::MouseButtonRelease}) {
        Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
        QMouseEvent event(type, at, global, Qt::LeftButton, held, Qt::NoModifier);
        QApplication::sendEvent(view->viewport(), &event);
    }
}

class DriveList : public ::testing::Test {
protected:
    void SetUp() override {
        TFPreference::removeKey("DebugDriveList");
        TFPreference::removeKey(HLNDriveListController::kFrameName);
        HLNDrive::setMountTableReader([this]() -> std::optional<std::vector<HLNMountRecord>> {
            ++reads;
            if (fail) {
                errno = EIO;
                return std::nullopt;
            }
            return table;
        });
    }
    void TearDown() override { HLNDrive::setMountTableReader(nullptr); }

    std::unique_ptr<HLNDriveListController> makeController() {
        auto controller = std::make_unique<HLNDriveListController>();
        controller->setPathOpener([this](const std::string& path) { opened.push_back(path); });
        return controller;
    }

    std::vector<HLNMountRecord> table = {record("ext4", "/"), record("proc", "/proc", "proc"),
                                         record("vfat", "/media/me/Stick", "/dev/sdb1"),
                                         record("ext4", "/mnt/Archive", "/dev/sdc1")};
    bool fail = false;
    int reads = 0;
    std::vector<std::string> opened;
};

} // namespace

TEST(HLNDriveListClassification, RulesApplyInOrder) {
    // The original platform's rules.
    EXPECT_EQ(classify("hfs", "/"), Classification::Local);
    EXPECT_EQ(classify("HFS", "/"), Classification::Local); // compared lower-cased
    EXPECT_EQ(classify("msdosfs", "/Volumes/Card"), Classification::Local);
    EXPECT_EQ(classify("msdosfs", "/Users/me/card", "server:/card"), Classification::Network);
    EXPECT_EQ(classify("msdosfs", "/Users/me/card"),
              Classification::Local); // a local device behind it
    EXPECT_EQ(classify("nfs", "/Volumes/Share"), Classification::Network);
    EXPECT_EQ(classify("devfs", "/dev"), Classification::Skipped);
    EXPECT_EQ(classify("fdesc", "/dev"), Classification::Skipped);
    EXPECT_EQ(classify("autofs", "/Volumes/auto", "automount -nsl [123]"), Classification::Skipped);
    EXPECT_EQ(classify("afpfs", "/Network/Servers"), Classification::Skipped);
    EXPECT_EQ(classify("nfs", "/automount"), Classification::Skipped);
    // The local rule comes before every skip rule.
    EXPECT_EQ(classify("hfs", "/Network/Servers"), Classification::Local);
    EXPECT_EQ(classify("ufs", "/automount", "automount -static"), Classification::Local);

    // This platform's names.
    EXPECT_EQ(classify("ext4", "/"), Classification::Local);
    EXPECT_EQ(classify("btrfs", "/home"), Classification::Local);
    EXPECT_EQ(classify("squashfs", "/snap/core/123"), Classification::Skipped);
    EXPECT_EQ(classify("tmpfs", "/mnt/scratch"), Classification::Skipped);
    EXPECT_EQ(classify("overlay", "/", "overlay"), Classification::Local); // "/" whatever serves it
    EXPECT_EQ(classify("overlay", "/var/lib/docker/x", "overlay"), Classification::Skipped);
    EXPECT_EQ(classify("fuse.gvfsd-fuse", "/run/user/1000/gvfs"), Classification::Skipped);
    EXPECT_EQ(classify("nfs4", "/mnt/share"), Classification::Network);
    EXPECT_EQ(classify("fuse.sshfs", "/home/me/remote"), Classification::Network);
    EXPECT_EQ(classify("cifs", "/media/nas"), Classification::Network);
    EXPECT_EQ(classify("fuse.mystery", "/run/media/me/Disk"), Classification::Local);
    EXPECT_EQ(classify("fuse.mystery", "/mnt/thing"), Classification::Local);
    // Told by what serves them, never by default.
    EXPECT_EQ(classify("fuse.mystery", "/srv/thing", "mystery"), Classification::Local);
    EXPECT_EQ(classify("fuse.mystery", "/srv/thing", "host:/export"), Classification::Network);
    EXPECT_EQ(classify("ecryptfs", "/home/me", "/home/.ecryptfs/me/.Private"),
              Classification::Local);
    for (const char* stacked : {"fuse.mergerfs", "fuse.bindfs", "fuse.encfs", "fuse.gocryptfs"})
        EXPECT_EQ(classify(stacked, "/srv/pool", "pool"), Classification::Local) << stacked;
    EXPECT_EQ(classify("fuse.mystery", "/srv/disk", "/dev/sdd1"), Classification::Local);
    EXPECT_EQ(classify("fuse.squashfuse", "/tmp/.mount_AppXYZ", "App.AppImage"),
              Classification::Skipped);
    EXPECT_EQ(classify("fuse.snapfuse", "/snap/core/1", "snapfuse"), Classification::Skipped);
    EXPECT_EQ(classify("nfsd", "/proc/fs/nfsd", "nfsd"), Classification::Skipped);
    EXPECT_EQ(classify("erofs", "/run/composefs", "composefs"), Classification::Skipped);
}

TEST(HLNDriveListText, FiguresAndButtonTitles) {
    Ref<HLNDrive> drive = HLNDrive::initWithMountStats(record("ext4", "/mnt/Data"));
    EXPECT_EQ(drive->available(), 1228800);
    EXPECT_EQ(drive->used(), 2457600);
    EXPECT_EQ(drive->size(), 4096000);
    EXPECT_EQ(HLNDriveListController::infoTextForDrive(*drive),
              "1.2 MB free, 2.3 MB used, 3.9 MB total");
    EXPECT_EQ(HLNDriveListController::sweepTitleForDrive(drive.get()), "Sweep \"Data\" Drive...");
    EXPECT_EQ(HLNDriveListController::sweepTitleForDrive(nullptr), "Sweep Selected Drive...");
    // More free than total blocks gives a negative used figure: shown as 0.
    Ref<HLNDrive> confused =
        HLNDrive::initWithMountStats(record("nfs4", "/mnt/odd", "srv:/", 100, 200, 50));
    EXPECT_LT(confused->used(), 0);
    EXPECT_EQ(HLNDriveListController::infoTextForDrive(*confused),
              "200 KB free, 0 B used, 400 KB total");
    // A name holding the placeholder is put in as it is, never filled again.
    EXPECT_EQ(HLNDriveListController::formatWithObjects("%@ and %@", {"%@", "b"}), "%@ and b");
    EXPECT_EQ(HLNDriveListController::formatWithObjects("%@ %@", {"only"}), "only %@");
}

TEST_F(DriveList, LocalDrivesOnlyAndSortedIgnoringCase) {
    table = {record("ext4", "/mnt/beta"), record("ext4", "/mnt/Gamma"),
             record("ext4", "/mnt/alpha2"), record("ext4", "/mnt/Alpha"),
             record("proc", "/proc", "proc")};
    auto controller = makeController();
    EXPECT_EQ(reads, 1);
    EXPECT_FALSE(controller->isWindowLoaded()); // lists first, window later
    QTreeWidget* view = (controller->window(), controller->driveListOutlineView());
    ASSERT_TRUE(view);
    EXPECT_EQ(topLevelNames(view), (std::vector<QString>{"Alpha", "alpha2", "beta", "Gamma"}));
    EXPECT_EQ(controller->columnForIdentifier("name"), 0);
    EXPECT_EQ(controller->columnForIdentifier("info"), 1);
    EXPECT_EQ(view->topLevelItem(0)->text(1), "1.2 MB free, 2.3 MB used, 3.9 MB total");
    EXPECT_TRUE(controller->networkDrives().empty());

    // Mounts that would read the same are told apart by their mount points.
    table = {record("btrfs", "/srv/data"), record("btrfs", "/mnt/old/data"),
             record("ext4", "/mnt/other")};
    controller = makeController();
    view = (controller->window(), controller->driveListOutlineView());
    EXPECT_EQ(topLevelNames(view),
              (std::vector<QString>{"data (/srv/data)", "data (/mnt/old/data)", "other"}));

    // A byte that is not UTF-8 reads as it does in the drive's window title.
    table = {record("ext4", "/mnt/zoo"), record("ext4", "/mnt/caf\xE9")};
    controller = makeController();
    view = (controller->window(), controller->driveListOutlineView());
    EXPECT_EQ(topLevelNames(view), (std::vector<QString>{"caf\\xE9", "zoo"}));
}

TEST_F(DriveList, NetworkGroupIsLastAndNeverSelectable) {
    table.push_back(record("nfs4", "/mnt/share", "server:/export"));
    auto controller = makeController();
    QTreeWidget* view = (controller->window(), controller->driveListOutlineView());
    ASSERT_EQ(view->topLevelItemCount(), 4);
    view->clearSelection();
    QTreeWidgetItem* group = view->topLevelItem(3);
    EXPECT_EQ(group->text(0), "Network");
    EXPECT_EQ(group->text(1), "");
    EXPECT_FALSE(group->icon(0).isNull());
    ASSERT_EQ(group->childCount(), 1);
    EXPECT_EQ(group->child(0)->text(0), "share");
    EXPECT_EQ(group->childIndicatorPolicy(), QTreeWidgetItem::ShowIndicator);

    group->setSelected(true);
    view->setCurrentItem(group);
    EXPECT_TRUE(view->selectedItems().isEmpty());
    EXPECT_FALSE(controller->selectedDrive());
    EXPECT_FALSE(controller->sweepButton()->isEnabled());

    group->child(0)->setSelected(true);
    ASSERT_TRUE(controller->selectedDrive());
    EXPECT_EQ(controller->selectedDrive()->location(), "/mnt/share");
    EXPECT_EQ(controller->sweepButton()->text(), "Sweep \"share\" Drive...");
}

TEST_F(DriveList, SweepAndDoubleClickOpenTheMountPoint) {
    auto controller = makeController();
    controller->showWindow();
    QTreeWidget* view = controller->driveListOutlineView();
    QPushButton* sweep = controller->sweepButton();
    // The first drive is selected from the start: Sweep is ready.
    EXPECT_TRUE(sweep->isEnabled());
    EXPECT_EQ(sweep->text(), "Sweep \"Archive\" Drive...");
    view->clearSelection();
    EXPECT_FALSE(sweep->isEnabled());
    EXPECT_EQ(sweep->text(), "Sweep Selected Drive...");
    controller->sizeSelectedDrive(); // nothing selected: nothing opens
    EXPECT_TRUE(opened.empty());

    // Rows: Archive, Root, Stick.
    ASSERT_EQ(topLevelNames(view), (std::vector<QString>{"Archive", "Root", "Stick"}));
    view->topLevelItem(2)->setSelected(true);
    EXPECT_TRUE(sweep->isEnabled());
    EXPECT_EQ(sweep->text(), "Sweep \"Stick\" Drive...");
    sweep->click();
    EXPECT_EQ(opened, (std::vector<std::string>{"/media/me/Stick"}));

    doubleClick(view, view->topLevelItem(0));
    EXPECT_EQ(opened, (std::vector<std::string>{"/media/me/Stick", "/mnt/Archive"}));

    // Return opens the selected drive too; the window is a main window, so it
    // carries the application's menus.
    view->setCurrentItem(view->topLevelItem(1));
    view->setFocus();
    QTest::keyClick(view, Qt::Key_Return);
    EXPECT_EQ(opened.back(), "/");
    EXPECT_NE(qobject_cast<QMainWindow*>(controller->window()), nullptr);
}

TEST_F(DriveList, BecomingActiveRereadsAndKeepsTheSelectedDrive) {
    auto controller = makeController();
    controller->showWindow();
    QWidget other;
    other.show();
    QApplication::setActiveWindow(&other);
    QTreeWidget* view = controller->driveListOutlineView();
    view->clearSelection();
    view->topLevelItem(1)->setSelected(true); // Root
    ASSERT_TRUE(controller->sweepButton()->isEnabled());

    table.push_back(record("ext4", "/mnt/New"));
    int before = reads;
    QApplication::setActiveWindow(controller->window());
    EXPECT_GT(reads, before);
    EXPECT_EQ(view->topLevelItemCount(), 4);
    ASSERT_TRUE(controller->selectedDrive());
    EXPECT_EQ(controller->selectedDrive()->location(), "/") << "the same drive, in its new row";
    EXPECT_EQ(controller->sweepButton()->text(), "Sweep \"Root\" Drive...");

    // Gone: the first drive is selected instead.
    table.erase(std::remove_if(table.begin(), table.end(),
                               [](const HLNMountRecord& r) { return r.f_mntonname == "/"; }),
                table.end());
    controller->updateDrives();
    ASSERT_TRUE(controller->selectedDrive());
    EXPECT_EQ(controller->selectedDrive()->location(), "/mnt/Archive");
}

TEST_F(DriveList, EachRowShowsItsMountPointAndUsageAndSplitsTheReservedBytes) {
    table = {record("ext4", "/mnt/Data", "/dev/sdz1", 1000, 400, 300)};
    auto controller = makeController();
    controller->showWindow();
    QTreeWidget* view = controller->driveListOutlineView();
    QTreeWidgetItem* row = view->topLevelItem(0);
    const int location = controller->columnForIdentifier("location");
    const int usage = controller->columnForIdentifier("usage");
    ASSERT_GE(location, 0);
    ASSERT_GE(usage, 0);
    EXPECT_EQ(row->text(location), "/mnt/Data");
    // 600 of 1000 blocks used; 100 free only for the system.
    EXPECT_EQ(row->data(usage, Qt::UserRole + 4).toInt(), 600);
    EXPECT_EQ(row->toolTip(0), "/mnt/Data\nUsed: 2.3 MB\nFree for users: 1.2 MB\n"
                               "Reserved for the system: 400 KB\nTotal: 3.9 MB");
    EXPECT_EQ(row->toolTip(usage), row->toolTip(0));
    // The bar is drawn: the used part in the style's highlight, left of the rest.
    const QImage shot = view->viewport()->grab().toImage();
    const QRect cell = view->visualItemRect(row).intersected(
        QRect(view->columnViewportPosition(usage), 0, view->columnWidth(usage), shot.height()));
    const QColor left = shot.pixelColor(cell.left() + cell.width() / 4, cell.center().y());
    const QColor right = shot.pixelColor(cell.right() - 8, cell.center().y());
    EXPECT_NE(left, right);
}

TEST_F(DriveList, FailedReadShowsNothing) {
    fail = true;
    testing::internal::CaptureStderr();
    auto controller = makeController();
    controller->window();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(controller->driveListOutlineView()->topLevelItemCount(), 0);
    EXPECT_FALSE(controller->sweepButton()->isEnabled());
}

namespace {
std::vector<std::string>* gMessages = nullptr;
void collect(QtMsgType, const QMessageLogContext&, const QString& message) {
    if (gMessages)
        gMessages->push_back(message.toStdString());
}
} // namespace

TEST_F(DriveList, DebugPreferenceLogsEachDecision) {
    std::vector<std::string> messages;
    gMessages = &messages;
    QtMessageHandler previous = qInstallMessageHandler(collect);
    table = {record("ext4", "/", "/dev/vda"), record("proc", "/proc", "proc"),
             record("nfs4", "/mnt/share", "server:/export")};
    makeController();
    EXPECT_TRUE(messages.empty());

    TFPreference::setBool("DebugDriveList", true);
    makeController();
    qInstallMessageHandler(previous);
    gMessages = nullptr;
    EXPECT_EQ(messages, (std::vector<std::string>{
                            "Updating drive list", "    Adding drive: /dev/vda on / (ext4)",
                            "    Skipping drive: proc on /proc (proc)",
                            "    Adding drive: server:/export on /mnt/share (nfs4)"}));
}

TEST_F(DriveList, FrameIsSavedAndRestored) {
    {
        auto controller = makeController();
        controller->showWindow();
        controller->window()->resize(611, 377);
        controller->window()->close();
        EXPECT_FALSE(TFPreference::preferenceForKey("Drive List").stringValue().empty());
    }
    auto again = makeController();
    again->showWindow();
    EXPECT_EQ(again->window()->size(), QSize(611, 377));
}

TEST(HLNDriveListSystem, Ext4VolumeShownTmpfsNot) {
    if (!runningAsRoot())
        GTEST_SKIP() << "mounting needs root";
    HLNDrive::setMountTableReader(nullptr);
    TempTree tree;
    std::string image = tree / "volume.img";
    std::string make =
        "truncate -s 64M '" + image + "' && mkfs.ext4 -q -F -L HollinTest '" + image + "'";
    ASSERT_EQ(std::system(make.c_str()), 0);
    char ext4Point[] = "/mnt/hollin-ext4-XXXXXX";
    char tmpfsPoint[] = "/mnt/hollin-tmpfs-XXXXXX";
    ASSERT_TRUE(::mkdtemp(ext4Point));
    ASSERT_TRUE(::mkdtemp(tmpfsPoint));
    std::string mountExt4 = "mount -o loop '" + image + "' " + ext4Point;
    int mountedExt4 = std::system(mountExt4.c_str());
    int mountedTmpfs = ::mount("hollin-tmpfs", tmpfsPoint, "tmpfs", 0, "size=8m");

    // Everything is checked while both are mounted: the label is only known then.
    auto check = [&] {
        ASSERT_EQ(mountedExt4, 0);
        ASSERT_EQ(mountedTmpfs, 0);
        struct statvfs st {};
        ASSERT_EQ(::statvfs(ext4Point, &st), 0);
        HLNDriveListController controller;
        Ref<HLNDrive> ext4;
        for (const auto& drive : controller.localDrives()) {
            if (drive->location() == ext4Point)
                ext4 = drive;
            EXPECT_NE(drive->location(), tmpfsPoint);
        }
        for (const auto& drive : controller.networkDrives())
            EXPECT_NE(drive->location(), tmpfsPoint);
        ASSERT_TRUE(ext4) << "the ext4 volume is not among the local drives";
        EXPECT_EQ(ext4->type(), "ext4");
        EXPECT_EQ(ext4->size(), static_cast<int64_t>(st.f_blocks * st.f_frsize));
        EXPECT_EQ(ext4->available(), static_cast<int64_t>(st.f_bavail * st.f_frsize));
        EXPECT_GT(ext4->size(), 50 << 20);
        // udev may not run here (a container): the label is then unknown and
        // the mount point's last component stands in.
        const bool labelled = ::access("/dev/disk/by-label/HollinTest", F_OK) == 0;
        const QString expected = labelled ? "HollinTest" : QString(ext4Point).section('/', -1);
        controller.window();
        QTreeWidget* view = controller.driveListOutlineView();
        bool shown = false;
        for (int i = 0; i < view->topLevelItemCount(); ++i)
            if (view->topLevelItem(i)->text(1) == HLNDriveListController::infoTextForDrive(*ext4) &&
                view->topLevelItem(i)->text(0) == expected)
                shown = true;
        EXPECT_TRUE(shown) << "no row \"" << expected.toStdString()
                           << "\" with the volume's figures";
    };
    check();
    ::umount2(tmpfsPoint, MNT_DETACH);
    std::string unmount = std::string("umount -d ") + ext4Point;
    if (mountedExt4 == 0 && std::system(unmount.c_str()) != 0)
        ::umount2(ext4Point, MNT_DETACH);
    ::rmdir(ext4Point);
    ::rmdir(tmpfsPoint);
}
