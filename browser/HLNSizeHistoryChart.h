#pragma once

#include "history/HLNHistory.h"

#include <QPoint>
#include <QPointF>
#include <QString>
#include <QWidget>
#include <vector>

// A folder's disk usage across the records of its root: one point per
// record, dates along, sizes up, joined by a line; the point under the
// mouse is marked and its date and size shown. Its own painting: a dozen
// points on two axes need no chart library. Main thread only.
class HLNSizeHistoryChart : public QWidget {
    Q_OBJECT
public:
    explicit HLNSizeHistoryChart(std::vector<HLNHistory::Point> points, QWidget* parent = nullptr);

    // A dialog with the chart of a folder, titled by its name.
    static HLNSizeHistoryChart* showDialog(QWidget* parent, const QString& folder,
                                           std::vector<HLNHistory::Point> points);

    const std::vector<HLNHistory::Point>& points() const { return _points; }
    // Where a point is drawn, in the widget.
    QPointF positionOf(size_t index) const;
    // The point within reach of a position of the widget; -1 when none.
    int pointAt(QPoint position) const;
    int hovered() const { return _hovered; }
    // "2026-12-10 08:30 — 51.0 MB"
    QString textOf(size_t index) const;

    QSize sizeHint() const override { return {560, 320}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    QRectF _plot() const;
    uint64_t _top() const;

    std::vector<HLNHistory::Point> _points;
    int _hovered = -1;
};
