#pragma once

#include <optional>

#include "browser/HLNBrowserCell.h"
#include "model/HLNFile.h"

#include <QColor>
#include <QFont>
#include <cstdint>
#include <string_view>

// The row of the file browser: a ten-character size field in the fixed-pitch
// font, coloured by the node's status and by the size's order of magnitude,
// then the node's name (italic for a link, greyed when a package lists the
// file or a disk was mounted beneath it at the last check).
//
// The cell keeps a reference to its node and what it last rendered
// (lastSize, lastStatus); the text is rebuilt when it is next needed after
// a new node or state, and on drawing only when size or status moved on.
// Main thread only; every node accessor takes the tree lock itself.
class HLNFileBrowserCell : public HLNBrowserCell {
public:
    // Where a window's cells take the figures they draw, so that all of
    // them, the title and the summary show one reading of the tree. Answers
    // false when it holds nothing for the node at that row and column; the
    // cell then reads its node itself.
    class Reading {
    public:
        virtual bool shownSnapshot(const HLNFile* file, int column, int row,
                                   HLNFile::Snapshot& out) = 0;
        // A note the row ends in beside any date (a change since an
        // earlier scan); false when none.
        virtual bool noteFor(const HLNFile* file, QString& text, QColor& color) {
            (void)file, (void)text, (void)color;
            return false;
        }
        // Whether the cells show exclusive bytes (Show Shared Space) rather
        // than the measure shown; out: the row's, none while not computed.
        virtual bool exclusiveBytes(const HLNFile*, int /*column*/, int /*row*/,
                                    std::optional<uint64_t>& /*out*/) {
            return false;
        }

    protected:
        ~Reading() = default;
    };

    HLNFileBrowserCell() = default;

    // A copy shows the same node and holds its own reference to it.
    std::unique_ptr<HLNBrowserCell> copy() const override;

    // Setting the node already shown does nothing.
    void setFile(const Ref<HLNFile>& file);
    // The reading the cell draws from, and its place there. Not owned.
    void setReading(Reading* reading, int column, int row);
    const Ref<HLNFile>& file() const { return _file; }

    // The bare name, decoded without loss (TFString::stringForName).
    QString stringValue() const override;
    const std::vector<HLNTextRun>& attributedStringValue() const override;
    bool isLeaf() const override;
    void setState(int state) override;
    void drawWithFrame(QPainter* painter, const QRect& frame,
                       const QStyleOptionViewItem& option) override;
    int cellHeight(const QFont& defaultFont) const override;

    uint64_t lastSize() const { return _lastSize; }
    SizeStatus lastStatus() const { return _lastStatus; }
    // How many times the text was built (to check that redraws stay cheap).
    int rebuildCount() const { return _rebuilds; }

    // Band 0 below 1 KiB, 1 from 1 KiB, 2 from 1 MiB, 3 from 1 GiB, 4 from
    // 1 TiB, 5 from 1 PiB; a boundary value belongs to the higher band.
    static int bandForSize(uint64_t bytes);
    struct Style {
        QFont font;
        QColor color;
    };
    static const Style& attentionStyle();
    static const Style& unsizedStyle();
    static const Style& bandStyle(int band);
    static QFont nameFont();
    static QFont linkNameFont();
    // Colour of a greyed name: dark grey on a light palette, a dimmed text
    // colour on a dark one.
    static QColor greyedNameColor();

    // The size field for a status and size, padded in front to ten
    // characters (longer texts stay whole).
    // asBytes: bytes whatever the measure shown.
    static QString sizeFieldText(SizeStatus status, uint64_t bytes, bool asBytes = false);
    // A figure of the measure shown (HLNFile::shownFigure): bytes
    // abbreviated, or a count; withUnit: a count says "items".
    static QString figureText(uint64_t figure, bool withUnit = false, bool asBytes = false);
    // What the measure shown is of a snapshot: the figure, or none when
    // the tree does not know it (a scan without it).
    static std::optional<uint64_t> shownFigureOf(const HLNFile::Snapshot& now);
    // Whether cells end in the newest modification below them (the View
    // menu's choice, for every window). Changing it has every cell redone.
    static void setShowsDates(bool shows);
    static bool showsDates();
    // Cells built before this moment are built anew when drawn.
    static void restyleAll();
    // A modification time as a cell and the summary show it: its date.
    static QString dateText(int64_t seconds);

private:
    HLNFileBrowserCell(const HLNFileBrowserCell&) = default;
    // Rebuilds the text from a snapshot of the node taken in one hold of the
    // tree lock.
    void _updateDisplayAttributes(const HLNFile::Snapshot& now) const;
    // The figures to show now: the reading's, else the node's own.
    HLNFile::Snapshot _current() const;
    // The figure the size field shows of now: the measure shown, or the
    // exclusive bytes while the reading asks for them (pending until known).
    struct Shown {
        std::optional<uint64_t> figure;
        bool exclusive = false, pending = false;
    };
    Shown _shown(const HLNFile::Snapshot& now) const;

    Ref<HLNFile> _file;
    Reading* _reading = nullptr;
    int _column = -1, _row = -1;
    mutable uint64_t _lastSize = 0;
    mutable SizeStatus _lastStatus = SizeStatus::notStarted;
    mutable bool _lastExclusive = false, _lastPending = false;
    mutable uint64_t _styleGeneration = 0;
    mutable bool _stale = true;
    mutable int _rebuilds = 0;
    mutable std::vector<HLNTextRun> _text;
    mutable bool _branch = false;
};
