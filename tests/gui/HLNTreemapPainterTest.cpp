#include "browser/HLNTreemapPainter.h"

#include "model/HLNBackgroundFileSizer.h"
#include "model/HLNFile.h"
#include "model/HLNTreemapSnapshot.h"
#include "support/TempTree.h"

#include <QApplication>
#include <QPainter>
#include <chrono>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

// A sized tree, released when the test is done with it.
struct SizedRoot : Ref<HLNFile> {
    explicit SizedRoot(const std::string& path)
        : Ref<HLNFile>(HLNFile::initWithParent(nullptr, path)) {
        HLNBackgroundFileSizer::sizeFile(*this);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!(get()->sizeStatus() == SizeStatus::complete && HLNBackgroundFileSizer::isIdle()) &&
               std::chrono::steady_clock::now() < end)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    SizedRoot(const SizedRoot&) = delete;
    ~SizedRoot() { get()->invalidate(); }
};

uint32_t entryNamed(const HLNTreemapSnapshot& s, std::string_view name) {
    for (uint32_t i = 0; i < s.entries().size(); ++i)
        if (s.nameOf(i) == name)
            return i;
    return HLNTreemapSnapshot::none;
}

} // namespace

TEST(HLNTreemapPainter, AnExecutableFileIsAProgramUnlessItsNameSaysOtherwise) {
    TempTree tree;
    for (const char* name : {"kubectl", "plain", "clip.mp4"})
        tree.writeFile(name, 40000);
    ASSERT_EQ(::chmod((tree / "kubectl").c_str(), 0755), 0);
    ASSERT_EQ(::chmod((tree / "clip.mp4").c_str(), 0777), 0); // as on some mounts
    SizedRoot root(tree.path());
    const HLNTreemapSnapshot s = HLNTreemapSnapshot::take(root, 0.0);
    EXPECT_EQ(HLNTreemapPainter::kindOfEntry(s, entryNamed(s, "kubectl")),
              HLNTreemapPainter::Program);
    EXPECT_EQ(HLNTreemapPainter::kindOfEntry(s, entryNamed(s, "plain")), HLNTreemapPainter::Other);
    EXPECT_EQ(HLNTreemapPainter::kindOfEntry(s, entryNamed(s, "clip.mp4")),
              HLNTreemapPainter::Video);
}

TEST(HLNTreemapPainter, TilesWideEnoughCarryTheirNamesAndTheLegendSaysSizingOnlyWhileSizing) {
    TempTree tree;
    tree.writeFile("alpha.txt", 300000); // a light tile
    tree.writeFile("beta.cpp", 200000);  // a dark one
    tree.writeFile("tiny", 10);
    SizedRoot root(tree.path());
    const QSize size(1400, 400);
    const QRect map = HLNTreemapPainter::mapRectForSize(size);
    const HLNTreemapSnapshot s = HLNTreemapSnapshot::take(root, 0.0);
    const HLNTreemapLayout layout(s, {0, 0, double(map.width()), double(map.height())});
    const QImage picture = HLNTreemapPainter::picture(s, layout, size, "caption");
    QImage bare = HLNTreemapPainter::paintCushions(s, layout, map.size());

    // Text in the middle row of each named tile: dark on the light tile,
    // light on the dark one; the cushions alone have none.
    for (const auto& [name, dark] : {std::pair{"alpha.txt", true}, std::pair{"beta.cpp", false}}) {
        const auto& r = layout.rects()[entryNamed(s, name)];
        int text = 0;
        for (int x = int(r.x) + 2; x < int(r.x + r.w) - 2; ++x) {
            const QColor p = picture.pixelColor(x, int(r.y + r.h / 2));
            text += dark ? p.lightness() < 60 : p.lightness() > 200;
            EXPECT_FALSE(dark ? bare.pixelColor(x, int(r.y + r.h / 2)).lightness() < 60
                              : bare.pixelColor(x, int(r.y + r.h / 2)).lightness() > 200);
        }
        EXPECT_GT(text, 3) << name;
    }

    // The legend of a map with nothing sizing is the one without "sizing".
    const QRect strip(0, map.height(), size.width(), size.height() - map.height());
    auto legend = [&](bool sizing) {
        QImage image(size, QImage::Format_RGB32);
        image.fill(Qt::black);
        QPainter painter(&image);
        HLNTreemapPainter::paintLegend(painter, strip, "caption", sizing);
        painter.end();
        return image.copy(strip);
    };
    EXPECT_FALSE(HLNTreemapPainter::anythingBusy(s));
    EXPECT_EQ(picture.copy(strip), legend(false));
    EXPECT_NE(picture.copy(strip), legend(true));
}
