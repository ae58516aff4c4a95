#include "browser/HLNShrinkingTextDisplayer.h"

#include <QApplication>
#include <QEvent>
#include <QFontDatabase>
#include <QPainter>
#include <QTextLayout>
#include <cmath>

namespace {

QTextOption centredWrapping() {
    QTextOption option(Qt::AlignHCenter);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    return option;
}

// Lays the text out in lines of the given width. Answers the height used
// when every line fits within maxHeight, or a negative value otherwise.
qreal layOut(QTextLayout& layout, qreal width, qreal maxHeight) {
    layout.setTextOption(centredWrapping());
    layout.beginLayout();
    qreal y = 0;
    bool fits = true;
    for (;;) {
        QTextLine line = layout.createLine();
        if (!line.isValid())
            break;
        line.setLineWidth(width);
        if (y + line.height() > maxHeight + 0.001) {
            fits = false;
            break;
        }
        line.setPosition(QPointF(0, y));
        y += line.height();
    }
    layout.endLayout();
    return fits ? y : -1;
}

} // namespace

HLNShrinkingTextDisplayer::HLNShrinkingTextDisplayer(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
}

QFont HLNShrinkingTextDisplayer::defaultFont() {
    static const QFont font = [] {
        QFont f = QApplication::font("QMessageBox");
        f.setPointSizeF(11);
        return f;
    }();
    return font;
}

QFont HLNShrinkingTextDisplayer::displayFont() const {
    return _baseFont ? *_baseFont : defaultFont();
}

void HLNShrinkingTextDisplayer::setStringValue(const QString& text) {
    if (text == _string)
        return;
    _string = text;
    _resetBounds();
    update();
}

void HLNShrinkingTextDisplayer::setFont(const QFont& font) {
    if (_baseFont && *_baseFont == font)
        return;
    _baseFont = font;
    _resetBounds();
    updateGeometry();
    update();
}

bool HLNShrinkingTextDisplayer::textFits(const QString& text, const QFont& font, QSizeF box) {
    if (text.isEmpty())
        return true;
    QTextLayout layout(text, font);
    return layOut(layout, box.width(), box.height()) >= 0;
}

QSizeF HLNShrinkingTextDisplayer::bestSizeForText(const QString& text, const QFont& font,
                                                  QSizeF frame) {
    const qreal W = frame.width(), H = frame.height();
    if (text.isEmpty() || W <= 0 || textFits(text, font, QSizeF(W, H)))
        return QSizeF(W, H);
    if (!textFits(text, font, QSizeF(2 * W, H)))
        return QSizeF(2 * W, H);
    qreal lo = W, hi = 2 * W;
    while (hi - lo > 1.0) {
        const float mid = static_cast<float>(std::floor((lo + hi) * 0.5));
        // With a fractional W the floored midpoint can fall back onto lo;
        // hi is then within one point of the answer.
        if (mid <= lo)
            break;
        if (textFits(text, font, QSizeF(mid, H)))
            hi = mid;
        else
            lo = mid;
    }
    return QSizeF(hi, H);
}

void HLNShrinkingTextDisplayer::_resetBounds() {
    _boundsWidth = bestSizeForText(_string, displayFont(), QSizeF(width(), height())).width();
}

void HLNShrinkingTextDisplayer::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    _resetBounds();
}

void HLNShrinkingTextDisplayer::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::EnabledChange)
        update();
}

QSize HLNShrinkingTextDisplayer::sizeHint() const {
    const QFontMetrics metrics(displayFont());
    return QSize(200, metrics.height() + 2);
}

QSize HLNShrinkingTextDisplayer::minimumSizeHint() const {
    return QSize(40, QFontMetrics(displayFont()).height() + 2);
}

void HLNShrinkingTextDisplayer::paintEvent(QPaintEvent*) {
    if (_string.isEmpty() || width() <= 0 || _boundsWidth <= 0)
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    painter.setClipRect(rect());
    painter.scale(width() / _boundsWidth, 1.0);

    // Lines as wide as the bounds; those that fit in the height are drawn
    // (always the first), the rest is cut off.
    QTextLayout layout(_string, displayFont());
    layout.setTextOption(centredWrapping());
    layout.beginLayout();
    qreal used = 0;
    int shown = 0;
    for (;;) {
        QTextLine line = layout.createLine();
        if (!line.isValid())
            break;
        line.setLineWidth(_boundsWidth);
        line.setPosition(QPointF(0, used));
        if (shown > 0 && used + line.height() > height() + 0.001)
            break;
        used += line.height();
        ++shown;
    }
    layout.endLayout();
    // The lines sit in the middle of the height.
    const QPointF origin(0, std::max<qreal>(0, (height() - used) / 2.0));
    for (int i = 0; i < shown; ++i)
        layout.lineAt(i).draw(&painter, origin);
}
