#pragma once

#include <QColor>
#include <QFont>
#include <QString>
#include <memory>
#include <vector>

class QPainter;
class QRect;
class QStyleOptionViewItem;

// One run of a cell's text, in its own font and colour. An invalid colour
// means the view's ordinary text colour (highlighted text when selected).
struct HLNTextRun {
    QString text;
    QFont font;
    QColor color;
    // Drawn at the right end of the row; the runs before it give way.
    bool atRight = false;
};

// One row of an HLNColumnBrowser column: a single line of styled text and a
// leaf flag (a branch row shows an arrow and opens the next column). The
// browser copies its prototype cell for each row it shows and lets its
// delegate fill the copy. Main thread only.
class HLNBrowserCell {
public:
    HLNBrowserCell() = default;
    virtual ~HLNBrowserCell() = default;

    // A copy that shows the same thing.
    virtual std::unique_ptr<HLNBrowserCell> copy() const;

    // The plain value, used to find the row again after a reload and for
    // type-ahead. Subclasses answer what identifies their row.
    virtual QString stringValue() const;
    // Plain text in the default font.
    void setStringValue(const QString& text);

    virtual const std::vector<HLNTextRun>& attributedStringValue() const { return _runs; }
    void setAttributedStringValue(std::vector<HLNTextRun> runs);

    virtual bool isLeaf() const { return _leaf; }
    void setLeaf(bool leaf) { _leaf = leaf; }

    int state() const { return _state; }
    virtual void setState(int state) { _state = state; }

    // Draws the runs on one line (clipped, never wrapped) and, for a branch
    // row, the arrow at the right edge.
    virtual void drawWithFrame(QPainter* painter, const QRect& frame,
                               const QStyleOptionViewItem& option);

    // Height of one row; every row of a browser is as tall as its prototype.
    virtual int cellHeight(const QFont& defaultFont) const;

    static constexpr int textInset = 4;
    static constexpr int arrowWidth = 14;

protected:
    HLNBrowserCell(const HLNBrowserCell&) = default;
    HLNBrowserCell& operator=(const HLNBrowserCell&) = default;

private:
    std::vector<HLNTextRun> _runs;
    QString _plain;
    bool _leaf = true;
    int _state = 0;
};
