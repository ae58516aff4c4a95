#include "browser/HLNSizeHistoryChart.h"

#include "toolkit/TFString.h"

#include <QDateTime>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QToolTip>
#include <QVBoxLayout>
#include <algorithm>

namespace {

QString bytesText(uint64_t bytes) {
    return QString::fromStdString(TFString::abbreviatedStringForBytes(bytes));
}

QString dateText(int64_t ms) {
    return QDateTime::fromMSecsSinceEpoch(ms).toString("yyyy-MM-dd HH:mm");
}

constexpr int kTicks = 4;
constexpr double kReach = 12; // pixels from a point that still hover it

} // namespace

HLNSizeHistoryChart::HLNSizeHistoryChart(std::vector<HLNHistory::Point> points, QWidget* parent)
    : QWidget(parent), _points(std::move(points)) {
    setMouseTracking(true);
    setMinimumSize(320, 180);
    setObjectName("sizeHistoryChart");
}

HLNSizeHistoryChart* HLNSizeHistoryChart::showDialog(QWidget* parent, const QString& folder,
                                                     std::vector<HLNHistory::Point> points) {
    auto* dialog = new QDialog(parent);
    dialog->setObjectName("sizeHistory");
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(QString("Size History of %1").arg(folder));
    auto* layout = new QVBoxLayout(dialog);
    auto* chart = new HLNSizeHistoryChart(std::move(points), dialog);
    if (chart->points().empty())
        layout->addWidget(new QLabel("No records of this folder yet.", dialog));
    layout->addWidget(chart, 1);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, dialog);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::close);
    layout->addWidget(buttons);
    dialog->show();
    return chart;
}

uint64_t HLNSizeHistoryChart::_top() const {
    uint64_t top = 0;
    for (const HLNHistory::Point& point : _points)
        top = std::max(top, point.diskUsage);
    return top ? top + top / 10 : 1; // room above the highest
}

QRectF HLNSizeHistoryChart::_plot() const {
    const QFontMetrics metrics(font());
    const double left = metrics.horizontalAdvance("1023.9 MB") + 14;
    const double bottom = metrics.height() + 10;
    return QRectF(left, metrics.height() + 8, std::max(10.0, width() - left - 16),
                  std::max(10.0, height() - bottom - metrics.height() - 8));
}

QPointF HLNSizeHistoryChart::positionOf(size_t index) const {
    const QRectF plot = _plot();
    const int64_t first = _points.front().timeMs, last = _points.back().timeMs;
    const double along = last > first ? double(_points[index].timeMs - first) / double(last - first)
                         : _points.size() == 1 ? 0.5
                                               : double(index) / double(_points.size() - 1);
    const double up = double(_points[index].diskUsage) / double(_top());
    return {plot.left() + along * plot.width(), plot.bottom() - up * plot.height()};
}

int HLNSizeHistoryChart::pointAt(QPoint position) const {
    int nearest = -1;
    double best = kReach * kReach;
    for (size_t i = 0; i < _points.size(); ++i) {
        const QPointF d = positionOf(i) - QPointF(position);
        const double distance = d.x() * d.x() + d.y() * d.y();
        if (distance <= best) {
            best = distance;
            nearest = int(i);
        }
    }
    return nearest;
}

QString HLNSizeHistoryChart::textOf(size_t index) const {
    return QString("%1 \u2014 %2")
        .arg(dateText(_points[index].timeMs), bytesText(_points[index].diskUsage));
}

void HLNSizeHistoryChart::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPalette& colors = palette();
    painter.fillRect(rect(), colors.color(QPalette::Base));
    const QRectF plot = _plot();
    const QFontMetrics metrics(font());
    painter.setPen(colors.color(QPalette::Mid));
    // Sizes up the left, with a line across at each.
    for (int tick = 0; tick <= kTicks; ++tick) {
        const double y = plot.bottom() - plot.height() * tick / kTicks;
        painter.setPen(QPen(colors.color(QPalette::Midlight), 1));
        painter.drawLine(QPointF(plot.left(), y), QPointF(plot.right(), y));
        painter.setPen(colors.color(QPalette::Text));
        painter.drawText(QRectF(0, y - metrics.height() / 2.0, plot.left() - 8, metrics.height()),
                         Qt::AlignRight | Qt::AlignVCenter,
                         bytesText(_top() / kTicks * uint64_t(tick)));
    }
    if (_points.empty())
        return;
    // Dates along the bottom: the first and the last record's.
    const QRectF dates(plot.left(), plot.bottom() + 4, plot.width(), metrics.height());
    painter.drawText(dates, Qt::AlignLeft | Qt::AlignTop, dateText(_points.front().timeMs));
    if (_points.size() > 1)
        painter.drawText(dates, Qt::AlignRight | Qt::AlignTop, dateText(_points.back().timeMs));

    const QColor line = colors.color(QPalette::Highlight);
    QPainterPath path(positionOf(0));
    for (size_t i = 1; i < _points.size(); ++i)
        path.lineTo(positionOf(i));
    painter.setPen(QPen(line, 2));
    painter.drawPath(path);
    painter.setBrush(line);
    for (size_t i = 0; i < _points.size(); ++i)
        painter.drawEllipse(positionOf(i), int(i) == _hovered ? 6 : 3.5,
                            int(i) == _hovered ? 6 : 3.5);
    if (_hovered >= 0) {
        painter.setPen(colors.color(QPalette::Text));
        painter.drawText(QRectF(plot.left(), 2, plot.width(), metrics.height() + 4),
                         Qt::AlignLeft | Qt::AlignVCenter, textOf(size_t(_hovered)));
    }
}

void HLNSizeHistoryChart::mouseMoveEvent(QMouseEvent* event) {
    const int at = pointAt(event->position().toPoint());
    if (at != _hovered) {
        _hovered = at;
        update();
    }
    if (at >= 0)
        QToolTip::showText(event->globalPosition().toPoint(), textOf(size_t(at)), this);
    else
        QToolTip::hideText();
}

void HLNSizeHistoryChart::leaveEvent(QEvent*) {
    _hovered = -1;
    update();
}
