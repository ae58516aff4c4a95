#include "browser/HLNShrinkingTextDisplayer.h"

#include <QApplication>
#include <QFontMetricsF>
#include <QImage>
#include <QPaintEvent>
#include <gtest/gtest.h>

namespace {

const QString kWords = "The quick brown fox jumps over the lazy dog again";

qreal naturalWidth(const QString& text, const QFont& font) {
    return QFontMetricsF(font).horizontalAdvance(text);
}
qreal lineHeight(const QFont& font) {
    return QFontMetricsF(font).height();
}

// Columns of the widget's picture that hold ink (text pixels).
std::pair<int, int> inkSpan(QWidget& w) {
    const QImage image = w.grab().toImage();
    const QRgb background = image.pixel(0, 0);
    int left = image.width(), right = -1;
    for (int x = 0; x < image.width(); ++x)
        for (int y = 0; y < image.height(); ++y)
            if (image.pixel(x, y) != background) {
                left = std::min(left, x);
                right = std::max(right, x);
            }
    return {left, right};
}

struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

class Displayer : public ::testing::Test {
protected:
    void open(int width, int height) {
        view.resize(width, height);
        view.show();
        QApplication::processEvents();
    }
    HLNShrinkingTextDisplayer view;
};

TEST_F(Displayer, EmptyTextKeepsTheFrameAndDrawsNothing) {
    open(200, 20);
    EXPECT_EQ(view.boundsWidth(), 200);
    EXPECT_EQ(inkSpan(view).second, -1);
    EXPECT_FALSE(view.font().has_value());
    EXPECT_EQ(view.displayFont().pointSizeF(), 11.0) << "the message font at 11 points is drawn";
}

TEST_F(Displayer, FittingTextIsDrawnCentredAtNaturalWidth) {
    open(300, 20);
    view.setStringValue("Part of package coreutils");
    EXPECT_EQ(view.boundsWidth(), 300);
    EXPECT_FALSE(view.font().has_value()) << "setting text alone sets no font";
    auto [left, right] = inkSpan(view);
    const qreal natural = naturalWidth(view.stringValue(), view.displayFont());
    EXPECT_NEAR(right - left, natural, 3);
    EXPECT_NEAR(left, 300 - right, 3) << "centred";
}

TEST_F(Displayer, OneAndAHalfTimesTooWideIsSqueezedToAboutTwoThirds) {
    const QFont font = HLNShrinkingTextDisplayer::defaultFont();
    const QString text = "averyveryverylongfilenamewithoutanyspaces.tar.gz";
    const qreal natural = naturalWidth(text, font);
    const int W = static_cast<int>(natural / 1.5);
    const int H = static_cast<int>(lineHeight(font)) + 2;
    open(W, H);
    view.setStringValue(text);
    const qreal bounds = view.boundsWidth();
    EXPECT_TRUE(HLNShrinkingTextDisplayer::textFits(text, font, QSizeF(bounds, H)));
    EXPECT_FALSE(HLNShrinkingTextDisplayer::textFits(text, font, QSizeF(bounds - 1.0, H)))
        << "within one point above the smallest fitting width";
    EXPECT_NEAR(W / bounds, 2.0 / 3.0, 0.03);
    auto [left, right] = inkSpan(view);
    EXPECT_GE(left, 0);
    EXPECT_LT(right, W);
    EXPECT_GT(right - left, 0.85 * W) << "the squeezed text still spans the width";
}

TEST_F(Displayer, MoreThanTwiceTooWideIsCutAtExactlyTwiceTheWidth) {
    const QFont font = HLNShrinkingTextDisplayer::defaultFont();
    const QString text = QString("x").repeated(400);
    const int W = static_cast<int>(naturalWidth(text, font) / 3);
    open(W, static_cast<int>(lineHeight(font)) + 2);
    view.setStringValue(text);
    EXPECT_EQ(view.boundsWidth(), 2.0 * W);
    auto [left, right] = inkSpan(view);
    EXPECT_LT(left, 4);
    EXPECT_GT(right, W - 5);
}

TEST_F(Displayer, TwoLinesWrapBeforeAnySqueeze) {
    const QFont font = HLNShrinkingTextDisplayer::defaultFont();
    const int W = static_cast<int>(naturalWidth(kWords, font) / 1.6);
    const int oneLine = static_cast<int>(lineHeight(font)) + 2;
    open(W, oneLine);
    view.setStringValue(kWords);
    EXPECT_GT(view.boundsWidth(), W) << "one line: squeezed";
    view.resize(W, 2 * oneLine + 2);
    EXPECT_EQ(view.boundsWidth(), W) << "room for two lines: wrapped, not squeezed";
    view.resize(W, oneLine);
    EXPECT_GT(view.boundsWidth(), W) << "a resize refits";
}

TEST_F(Displayer, SettingTheSameTextOrFontAgainChangesNothing) {
    open(200, 20);
    view.setStringValue("same");
    QApplication::processEvents();
    PaintCounter counter;
    view.installEventFilter(&counter);
    view.setStringValue("same");
    QApplication::processEvents();
    EXPECT_EQ(counter.paints, 0);

    QFont font("DejaVu Sans", 13);
    view.setFont(font);
    QApplication::processEvents();
    const int afterFont = counter.paints;
    EXPECT_GE(afterFont, 1);
    view.setFont(font);
    QApplication::processEvents();
    EXPECT_EQ(counter.paints, afterFont);
    ASSERT_TRUE(view.font().has_value());
    EXPECT_EQ(view.font()->pointSize(), 13);
    view.removeEventFilter(&counter);
}

TEST(DisplayerFitting, FractionalWidthsTerminateWithinOnePoint) {
    const QFont font = HLNShrinkingTextDisplayer::defaultFont();
    const QString text = "averyveryverylongfilenamewithoutanyspaces";
    const qreal natural = naturalWidth(text, font);
    const qreal H = lineHeight(font) + 2;
    // Widths just over half the natural width, in small fractional steps:
    // several of them leave the floored midpoint stuck on the lower bound.
    for (int k = 1; k <= 40; ++k) {
        const qreal W = natural / 2 + k * 0.07;
        const QSizeF best = HLNShrinkingTextDisplayer::bestSizeForText(text, font, QSizeF(W, H));
        EXPECT_EQ(best.height(), H);
        EXPECT_GE(best.width(), W);
        EXPECT_LE(best.width(), 2 * W);
        EXPECT_TRUE(HLNShrinkingTextDisplayer::textFits(text, font, QSizeF(best.width(), H))) << W;
        EXPECT_FALSE(HLNShrinkingTextDisplayer::textFits(text, font, QSizeF(best.width() - 2.0, H)))
            << W;
    }
}

} // namespace
