#include "browser/HLNBrowserCell.h"

#include <QApplication>
#include <QFontMetricsF>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <algorithm>

std::unique_ptr<HLNBrowserCell> HLNBrowserCell::copy() const {
    return std::unique_ptr<HLNBrowserCell>(new HLNBrowserCell(*this));
}

QString HLNBrowserCell::stringValue() const {
    return _plain;
}

void HLNBrowserCell::setStringValue(const QString& text) {
    _plain = text;
    _runs.clear();
    if (!text.isEmpty())
        _runs.push_back({text, QApplication::font(), QColor()});
}

void HLNBrowserCell::setAttributedStringValue(std::vector<HLNTextRun> runs) {
    _runs = std::move(runs);
    _plain.clear();
    for (const HLNTextRun& run : _runs)
        _plain += run.text;
}

int HLNBrowserCell::cellHeight(const QFont& defaultFont) const {
    return QFontMetrics(defaultFont).height() + 4;
}

void HLNBrowserCell::drawWithFrame(QPainter* painter, const QRect& frame,
                                   const QStyleOptionViewItem& option) {
    const std::vector<HLNTextRun>& runs = attributedStringValue();
    const bool selected = option.state & QStyle::State_Selected;
    const QColor ordinary = option.palette.color(
        option.state & QStyle::State_Active ? QPalette::Active : QPalette::Inactive,
        selected ? QPalette::HighlightedText : QPalette::Text);

    // One baseline for every run, so fonts of different sizes line up.
    qreal ascent = 0, descent = 0;
    for (const HLNTextRun& run : runs) {
        QFontMetricsF m(run.font);
        ascent = std::max(ascent, m.ascent());
        descent = std::max(descent, m.descent());
    }
    const qreal baseline = frame.top() + (frame.height() - (ascent + descent)) / 2.0 + ascent;
    const bool branch = !isLeaf();
    QRectF textArea(frame.left() + textInset, frame.top(),
                    frame.width() - textInset - (branch ? arrowWidth : textInset), frame.height());

    painter->save();
    painter->setClipRect(textArea);
    for (const HLNTextRun& run : runs)
        if (run.atRight) {
            const QFontMetricsF metrics(run.font);
            const qreal advance = metrics.horizontalAdvance(run.text);
            painter->setFont(run.font);
            painter->setPen(run.color.isValid() && !selected ? run.color : ordinary);
            painter->drawText(QPointF(textArea.right() - advance, baseline), run.text);
            textArea.setRight(textArea.right() - advance - textInset);
        }
    qreal x = textArea.left();
    for (const HLNTextRun& run : runs) {
        if (run.atRight)
            continue;
        if (x >= textArea.right())
            break;
        const QFontMetricsF metrics(run.font);
        const qreal advance = metrics.horizontalAdvance(run.text);
        // A run that does not fit ends in an ellipsis instead of being cut.
        const QString shown =
            x + advance <= textArea.right()
                ? run.text
                : metrics.elidedText(run.text, Qt::ElideRight, textArea.right() - x);
        painter->setFont(run.font);
        // On the selection highlight every run takes the highlighted text
        // colour; coloured text on it would not read.
        painter->setPen(run.color.isValid() && !selected ? run.color : ordinary);
        painter->drawText(QPointF(x, baseline), shown);
        x += advance;
    }
    painter->restore();

    if (branch) {
        QStyleOption arrow;
        if (option.widget)
            arrow.initFrom(option.widget);
        arrow.rect =
            QRect(frame.right() - arrowWidth + 2, frame.top() + (frame.height() - 10) / 2, 10, 10);
        arrow.palette = option.palette;
        arrow.palette.setColor(QPalette::ButtonText,
                               selected ? ordinary : option.palette.color(QPalette::Text));
        arrow.state = option.state;
        QStyle* style = option.widget ? option.widget->style() : QApplication::style();
        style->drawPrimitive(QStyle::PE_IndicatorArrowRight, &arrow, painter, option.widget);
    }
}
