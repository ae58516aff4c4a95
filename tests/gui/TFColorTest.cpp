#include "toolkit/gui/TFColor.h"

#include "toolkit/TFPreference.h"

#include <cmath>
#include <gtest/gtest.h>

namespace {

double luminance(const QColor& c) {
    auto channel = [](double v) {
        return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}
double contrast(const QColor& a, const QColor& b) {
    double la = luminance(a), lb = luminance(b);
    if (la < lb)
        std::swap(la, lb);
    return (la + 0.05) / (lb + 0.05);
}
QColor blend(const QColor& s, const QColor& l, double t) {
    return QColor::fromRgbF((1 - t) * s.redF() + t * l.redF(),
                            (1 - t) * s.greenF() + t * l.greenF(),
                            (1 - t) * s.blueF() + t * l.blueF());
}

TEST(TFColor, StoredColoursRoundTripThroughTheUserDefaults) {
    TFColor::setColorForKey(QColor(0x12, 0xab, 0xef), "TestOpaque");
    EXPECT_EQ(TFPreference::preferenceForKey("TestOpaque").stringValue(), "#12abef");
    EXPECT_EQ(TFColor::colorForKey("TestOpaque"), QColor(0x12, 0xab, 0xef));

    TFColor::setColorForKey(QColor(1, 2, 3, 4), "TestAlpha");
    EXPECT_EQ(TFPreference::preferenceForKey("TestAlpha").stringValue(), "#01020304")
        << "alpha comes last";
    EXPECT_EQ(TFColor::colorForKey("TestAlpha"), QColor(1, 2, 3, 4));
}

TEST(TFColor, AbsentOrMalformedColoursAreInvalid) {
    EXPECT_FALSE(TFColor::colorForKey("NeverSetColour").isValid());
    for (const char* bad :
         {"", "red", "#12", "#12345", "#1234567", "#gg0000", "123456", "#123456789"}) {
        TFPreference::setString("TestBad", bad);
        EXPECT_FALSE(TFColor::colorForKey("TestBad").isValid()) << bad;
    }
    EXPECT_EQ(TFColor::colorForString(" #ABC "), QColor(0xaa, 0xbb, 0xcc));
}

TEST(TFColor, DefaultScaleReadsOnLightAndDarkBackgrounds) {
    TFColor::registerDefaultColors();
    const QColor small = TFColor::colorForKey("HLNSmallFileColor");
    const QColor large = TFColor::colorForKey("HLNLargeFileColor");
    ASSERT_TRUE(small.isValid());
    ASSERT_TRUE(large.isValid());
    EXPECT_NE(small, large);
    // Every band of the scale, against a white list and a dark one.
    for (double t : {0.0, 0.3, 0.6, 0.95, 0.99, 1.0}) {
        const QColor band = blend(small, large, t);
        EXPECT_GE(contrast(band, Qt::white), 3.0) << t;
        EXPECT_GE(contrast(band, QColor(0x2b, 0x2b, 0x2b)), 3.0) << t;
    }
    // A user's own choice wins over the registered default.
    TFColor::setColorForKey(QColor(Qt::black), "HLNSmallFileColor");
    EXPECT_EQ(TFColor::colorForKey("HLNSmallFileColor"), QColor(Qt::black));
    TFPreference::removeKey("HLNSmallFileColor");
    EXPECT_EQ(TFColor::colorForKey("HLNSmallFileColor"), small);
}

} // namespace
