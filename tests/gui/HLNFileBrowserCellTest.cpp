#include "browser/HLNFileBrowserCell.h"

#include "model/HLNBackgroundFileSizer.h"
#include "receipts/HLNPackageReceipt.h"
#include "support/ChildNamed.h"
#include "support/TempTree.h"
#include "toolkit/TFString.h"
#include "toolkit/gui/TFColor.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QImage>
#include <QPainter>
#include <QStyleOptionViewItem>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <sys/mount.h>
#include <unistd.h>

namespace {

constexpr uint64_t KiB = 1024, MiB = KiB * 1024, GiB = MiB * 1024, TiB = GiB * 1024,
                   PiB = TiB * 1024;

bool waitFor(const std::function<bool()>& done, int ms = 10000) {
    QDeadlineTimer deadline(ms);
    while (!done() && !deadline.hasExpired())
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}

void draw(HLNFileBrowserCell& cell) {
    QImage image(300, 24, QImage::Format_ARGB32);
    QPainter painter(&image);
    QStyleOptionViewItem option;
    option.palette = QApplication::palette();
    cell.drawWithFrame(&painter, QRect(0, 0, 300, 24), option);
}

TEST(FileBrowserCellBands, BoundariesFallInTheHigherBand) {
    EXPECT_EQ(HLNFileBrowserCell::bandForSize(0), 0);
    EXPECT_EQ(HLNFileBrowserCell::bandForSize(1023), 0);
    EXPECT_EQ(HLNFileBrowserCell::bandForSize(1024), 1);
    EXPECT_EQ(HLNFileBrowserCell::bandForSize(MiB - 1), 1);
    EXPECT_EQ(HLNFileBrowserCell::bandForSize(MiB), 2);
    EXPECT_EQ(HLNFileBrowserCell::bandForSize(GiB - 1), 2);
    EXPECT_EQ(HLNFileBrowserCell::bandForSize(GiB), 3);
    EXPECT_EQ(HLNFileBrowserCell::bandForSize(TiB - 1), 3);
    EXPECT_EQ(HLNFileBrowserCell::bandForSize(TiB), 4);
    EXPECT_EQ(HLNFileBrowserCell::bandForSize(PiB - 1024), 4);
    EXPECT_EQ(HLNFileBrowserCell::bandForSize(PiB), 5);
    EXPECT_EQ(HLNFileBrowserCell::bandForSize(UINT64_MAX), 5);
}

TEST(FileBrowserCellBands, ColoursRunFromTheSmallToTheLargeFileColour) {
    TFColor::registerDefaultColors();
    const QColor small = TFColor::colorForKey("HLNSmallFileColor");
    const QColor large = TFColor::colorForKey("HLNLargeFileColor");
    EXPECT_EQ(HLNFileBrowserCell::bandStyle(0).color.rgba(), small.rgba());
    EXPECT_EQ(HLNFileBrowserCell::bandStyle(5).color.rgba(), large.rgba());
    const double fractions[] = {0, 0.3, 0.6, 0.95, 0.99, 1};
    for (int band = 1; band < 5; ++band) {
        const QColor c = HLNFileBrowserCell::bandStyle(band).color;
        EXPECT_NEAR(c.redF(), (1 - fractions[band]) * small.redF() + fractions[band] * large.redF(),
                    0.002);
        EXPECT_NEAR(c.blueF(),
                    (1 - fractions[band]) * small.blueF() + fractions[band] * large.blueF(), 0.002);
    }
    EXPECT_EQ(HLNFileBrowserCell::attentionStyle().color, QColor(255, 0, 0));
    EXPECT_EQ(HLNFileBrowserCell::unsizedStyle().color, QColor(36, 84, 84));
    EXPECT_TRUE(HLNFileBrowserCell::bandStyle(2).font.fixedPitch() ||
                QFontInfo(HLNFileBrowserCell::bandStyle(2).font).fixedPitch());
    EXPECT_EQ(HLNFileBrowserCell::bandStyle(2).font.pointSize(), 12);
}

TEST(FileBrowserCellText, SizeFieldsArePaddedToTenCharacters) {
    EXPECT_EQ(HLNFileBrowserCell::sizeFieldText(SizeStatus::notStarted, 123456), QString(10, ' '));
    EXPECT_EQ(HLNFileBrowserCell::sizeFieldText(SizeStatus::goneOrGoing, 123456), " trashing ");
    for (uint64_t bytes :
         {uint64_t(0), uint64_t(4096), 12 * MiB + 300 * KiB, 150 * GiB, 999 * PiB}) {
        const QString abbreviated =
            QString::fromStdString(TFString::abbreviatedStringForBytes(bytes));
        for (SizeStatus status : {SizeStatus::inProgress, SizeStatus::complete}) {
            const QString field = HLNFileBrowserCell::sizeFieldText(status, bytes);
            EXPECT_TRUE(field.endsWith(abbreviated + "  ")) << field.toStdString();
            EXPECT_EQ(field.size(), std::max<qsizetype>(10, abbreviated.size() + 2));
            EXPECT_TRUE(field.trimmed() == abbreviated);
        }
    }
}

class FileBrowserCell : public ::testing::Test {
protected:
    void SetUp() override {
        tree.writeFile("small", 100);
        tree.writeFile("big", 3 * MiB);
        tree.mkdir("folder/inner");
        tree.writeFile("folder/inner/data", 64 * KiB);
        tree.symlink("big", "link");
        tree.writeFile(std::string("odd\xff"), 10);
        root = HLNFile::initWithParent(nullptr, tree.path());
        ASSERT_TRUE(root);
        HLNBackgroundFileSizer::sizeFile(root);
        ASSERT_TRUE(waitFor([&] { return root->sizeStatus() == SizeStatus::complete; }));
    }
    void TearDown() override {
        if (root)
            root->invalidate();
    }
    Ref<HLNFile> child(const std::string& name) { return childNamed(root, name); }
    static const HLNTextRun& sizeRun(const HLNFileBrowserCell& cell) {
        return cell.attributedStringValue().at(0);
    }
    static const HLNTextRun& nameRun(const HLNFileBrowserCell& cell) {
        return cell.attributedStringValue().at(1);
    }

    TempTree tree;
    Ref<HLNFile> root;
};

TEST_F(FileBrowserCell, ShowsSizeInItsBandThenTheName) {
    HLNFileBrowserCell cell;
    Ref<HLNFile> big = child("big");
    ASSERT_TRUE(big);
    cell.setFile(big);
    EXPECT_EQ(cell.stringValue(), "big");
    ASSERT_EQ(cell.attributedStringValue().size(), 2u);
    EXPECT_EQ(sizeRun(cell).text,
              HLNFileBrowserCell::sizeFieldText(SizeStatus::complete, big->sizeSoFar()));
    EXPECT_EQ(
        sizeRun(cell).color,
        HLNFileBrowserCell::bandStyle(HLNFileBrowserCell::bandForSize(big->sizeSoFar())).color);
    EXPECT_EQ(HLNFileBrowserCell::bandForSize(big->sizeSoFar()), 2) << "3 MiB on disk";
    EXPECT_EQ(nameRun(cell).text, "big");
    EXPECT_FALSE(nameRun(cell).font.italic());
    EXPECT_FALSE(nameRun(cell).color.isValid()) << "ordinary text colour";
    EXPECT_TRUE(cell.isLeaf());
    EXPECT_EQ(cell.lastStatus(), SizeStatus::complete);
    EXPECT_EQ(cell.lastSize(), big->sizeSoFar());

    cell.setFile(child("folder"));
    EXPECT_FALSE(cell.isLeaf()) << "a folder opens a column";
    EXPECT_EQ(cell.stringValue(), "folder");
}

TEST_F(FileBrowserCell, LinksAreItalicAndOddNamesShowTheirBytes) {
    HLNFileBrowserCell link;
    link.setFile(child("link"));
    EXPECT_TRUE(nameRun(link).font.italic());
    EXPECT_TRUE(link.isLeaf());

    HLNFileBrowserCell odd;
    odd.setFile(child(std::string("odd\xff")));
    EXPECT_EQ(nameRun(odd).text, "odd\\xFF");
    EXPECT_EQ(odd.stringValue(), TFString::stringForName("odd\xff"));
}

TEST_F(FileBrowserCell, UnsizedNodeShowsTenSpacesBeforeTheName) {
    Ref<HLNFile> fresh = HLNFile::initWithParent(nullptr, tree / "folder");
    ASSERT_TRUE(fresh);
    ASSERT_EQ(fresh->sizeStatus(), SizeStatus::notStarted);
    HLNFileBrowserCell cell;
    cell.setFile(fresh);
    EXPECT_EQ(sizeRun(cell).text, QString(10, ' '));
    EXPECT_EQ(sizeRun(cell).color, HLNFileBrowserCell::unsizedStyle().color);
    fresh->invalidate();
}

TEST_F(FileBrowserCell, RebuildsOnlyWhenSizeOrStatusMoved) {
    HLNFileBrowserCell cell;
    Ref<HLNFile> folder = child("folder");
    cell.setFile(folder);
    draw(cell);
    const int built = cell.rebuildCount();
    draw(cell);
    draw(cell);
    EXPECT_EQ(cell.rebuildCount(), built) << "nothing moved, nothing rebuilt";
    cell.setFile(folder);
    draw(cell);
    EXPECT_EQ(cell.rebuildCount(), built) << "the same node again changes nothing";

    // Deleting the folder: its status becomes 3, the next draw rebuilds.
    // The tree lock keeps the deletion thread from finishing meanwhile.
    {
        std::unique_lock lock(HLNFile::treeLock());
        folder->trash();
        ASSERT_EQ(folder->sizeStatus(), SizeStatus::goneOrGoing);
        draw(cell);
        EXPECT_EQ(cell.rebuildCount(), built + 1);
        EXPECT_EQ(sizeRun(cell).text, " trashing ");
        EXPECT_EQ(sizeRun(cell).color, HLNFileBrowserCell::attentionStyle().color);
        EXPECT_TRUE(cell.isLeaf()) << "a folder being deleted loses its arrow";
    }
    EXPECT_TRUE(waitFor([&] { return ::access((tree / "folder").c_str(), F_OK) != 0; }))
        << "and is gone from disk";
}

TEST_F(FileBrowserCell, CopyHoldsItsOwnReference) {
    Ref<HLNFile> small = child("small");
    auto cell = std::make_unique<HLNFileBrowserCell>();
    cell->setFile(small);
    const uint32_t before = small->retainCount();
    std::unique_ptr<HLNBrowserCell> copy = cell->copy();
    auto* fileCopy = dynamic_cast<HLNFileBrowserCell*>(copy.get());
    ASSERT_NE(fileCopy, nullptr);
    EXPECT_EQ(fileCopy->file().get(), small.get());
    EXPECT_EQ(small->retainCount(), before + 1);
    cell.reset();
    EXPECT_EQ(small->retainCount(), before);
    EXPECT_EQ(fileCopy->stringValue(), "small");
    EXPECT_EQ(nameRun(*fileCopy).text, "small") << "the copy builds its own text";
}

TEST_F(FileBrowserCell, PackagedFilesAreGreyedButKeepTheirSizeColour) {
    // A dpkg-style list naming one of the files.
    TempTree info;
    {
        std::ofstream list(info / "example.list");
        list << tree.path() << "\n"
             << tree / "small"
             << "\n";
    }
    HLNPackageReceipt::resetForTesting();
    HLNPackageReceipt::setReceiptsFolder("");
    HLNPackageReceipt::setDpkgInfoFolder(info.path());
    HLNPackageReceipt::waitUntilScanFinished();
    ASSERT_FALSE(HLNPackageReceipt::packageNamesForFilename(tree / "small").empty());

    HLNFileBrowserCell packaged, plain;
    packaged.setFile(child("small"));
    plain.setFile(child("big"));
    EXPECT_EQ(nameRun(packaged).color, HLNFileBrowserCell::greyedNameColor());
    EXPECT_FALSE(nameRun(plain).color.isValid());
    EXPECT_EQ(
        sizeRun(packaged).color,
        HLNFileBrowserCell::bandStyle(HLNFileBrowserCell::bandForSize(child("small")->sizeSoFar()))
            .color);
    // On a light palette the grey is the classic one-third grey.
    EXPECT_EQ(HLNFileBrowserCell::greyedNameColor(), QColor(85, 85, 85));
    HLNPackageReceipt::resetForTesting();
}

TEST_F(FileBrowserCell, FolderWithADiskMountedBeneathIsGreyed) {
    if (!runningAsRoot())
        GTEST_SKIP() << "mounting a tmpfs needs root";
    const std::string mountPoint = tree.mkdir("folder/mnt");
    ASSERT_EQ(::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=1m"), 0);
    Ref<HLNFile> folder = child("folder");
    EXPECT_TRUE(folder->hasDrivesMountedUnderneath());
    HLNFileBrowserCell cell;
    cell.setFile(folder);
    EXPECT_EQ(nameRun(cell).color, HLNFileBrowserCell::greyedNameColor());
    EXPECT_FALSE(cell.isLeaf());
    ::umount2(mountPoint.c_str(), MNT_DETACH);
}

} // namespace

TEST(FileBrowserCellNames, AFurtherNameOfAFileShowsItsBytesGreyedAndMarked) {
    TempTree tree;
    tree.writeFile("a", 64 * KiB);
    ASSERT_EQ(::link((tree / "a").c_str(), (tree / "b").c_str()), 0);
    Ref<HLNFile> root = HLNFile::initWithParent(nullptr, tree.path());
    ASSERT_TRUE(root);
    HLNBackgroundFileSizer::sizeFile(root);
    ASSERT_TRUE(waitFor([&] { return root->sizeStatus() == SizeStatus::complete; }));
    const uint64_t bytes = uint64_t(TempTree::lstatOf(tree / "a").st_blocks) * 512;
    HLNFileBrowserCell first, second;
    first.setFile(childNamed(root, "a"));
    second.setFile(childNamed(root, "b"));
    EXPECT_EQ(first.attributedStringValue().at(0).text,
              HLNFileBrowserCell::sizeFieldText(SizeStatus::complete, bytes));
    const HLNTextRun& size = second.attributedStringValue().at(0);
    const QString abbreviated = QString::fromStdString(TFString::abbreviatedStringForBytes(bytes));
    EXPECT_TRUE(size.text.endsWith(abbreviated + QString::fromUtf8(" \u2194")))
        << size.text.toStdString();
    EXPECT_EQ(size.color, HLNFileBrowserCell::greyedNameColor());
    root->invalidate();
}
