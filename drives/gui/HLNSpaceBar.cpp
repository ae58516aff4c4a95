#include "drives/gui/HLNSpaceBar.h"

#include "toolkit/TFString.h"

#include <QHelpEvent>
#include <QPainter>
#include <QToolTip>

HLNSpaceBar::HLNSpaceBar(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setMouseTracking(true);
}

void HLNSpaceBar::setParts(std::vector<Part> parts) {
    _parts = std::move(parts);
    update();
}

std::vector<std::pair<int, int>> HLNSpaceBar::spans(const std::vector<Part>& parts, int width) {
    std::vector<std::pair<int, int>> out(parts.size(), {0, 0});
    long double total = 0;
    for (const Part& part : parts)
        total += static_cast<long double>(part.bytes);
    if (total <= 0 || width <= 0)
        return out;
    // Edges from the running sum, so that rounding never leaves a gap; a
    // part too small for a pixel borrows one from the widest.
    int at = 0;
    long double sum = 0;
    for (size_t i = 0; i < parts.size(); ++i) {
        sum += static_cast<long double>(parts[i].bytes);
        const int end =
            i + 1 == parts.size() ? width : static_cast<int>(sum / total * width + 0.5L);
        out[i] = {at, std::max(at, end)};
        at = out[i].second;
    }
    for (size_t i = 0; i < parts.size(); ++i) {
        if (parts[i].bytes == 0 || out[i].second > out[i].first)
            continue;
        size_t widest = 0;
        for (size_t j = 1; j < out.size(); ++j)
            if (out[j].second - out[j].first > out[widest].second - out[widest].first)
                widest = j;
        if (out[widest].second - out[widest].first < 2)
            break;
        // Shift everything between the two by one pixel.
        if (widest > i) {
            for (size_t j = i; j < widest; ++j)
                out[j].second += 1, out[j + 1].first += 1;
        } else {
            for (size_t j = i; j > widest; --j)
                out[j].first -= 1, out[j - 1].second -= 1;
        }
    }
    return out;
}

int HLNSpaceBar::partAt(int x) const {
    const auto edges = spans(_parts, width() - 2);
    for (size_t i = 0; i < edges.size(); ++i)
        if (x - 1 >= edges[i].first && x - 1 < edges[i].second)
            return static_cast<int>(i);
    return -1;
}

void HLNSpaceBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect frame = rect().adjusted(0, 0, -1, -1);
    painter.fillRect(frame, palette().base());
    // Inside the frame, so that a part of one pixel is not drawn over.
    const auto edges = spans(_parts, width() - 2);
    for (size_t i = 0; i < _parts.size(); ++i)
        if (edges[i].second > edges[i].first)
            painter.fillRect(
                QRect(1 + edges[i].first, 1, edges[i].second - edges[i].first, height() - 2),
                _parts[i].color);
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawRect(frame);
}

bool HLNSpaceBar::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        const int part = partAt(help->pos().x());
        if (part < 0) {
            QToolTip::hideText();
            event->ignore();
            return true;
        }
        const Part& p = _parts[static_cast<size_t>(part)];
        QToolTip::showText(help->globalPos(),
                           p.name + ": " +
                               QString::fromStdString(TFString::abbreviatedStringForBytes(p.bytes)),
                           this);
        return true;
    }
    return QWidget::event(event);
}
