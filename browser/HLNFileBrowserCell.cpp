#include "browser/HLNFileBrowserCell.h"
#include "browser/HLNShrinkingTextDisplayer.h"
#include "receipts/HLNPackageReceipt.h"
#include "toolkit/TFString.h"
#include "toolkit/gui/TFColor.h"

#include <QApplication>
#include <QDateTime>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QLocale>
#include <QPalette>
#include <array>

namespace {

struct Styles {
    HLNFileBrowserCell::Style attention;
    HLNFileBrowserCell::Style unsized;
    std::array<HLNFileBrowserCell::Style, 6> bands;
};

QColor blended(const QColor& small, const QColor& large, double fraction) {
    auto mix = [fraction](double a, double b) { return (1 - fraction) * a + fraction * b; };
    return QColor::fromRgbF(mix(small.redF(), large.redF()), mix(small.greenF(), large.greenF()),
                            mix(small.blueF(), large.blueF()), mix(small.alphaF(), large.alphaF()));
}

// Built once per run, when the first cell needs them; a later change of the
// colour defaults shows at the next start.
const Styles& styles() {
    static const Styles s = [] {
        TFColor::registerDefaultColors(); // keeps defaults registered earlier
        QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        fixed.setPointSize(12);
        QColor small = TFColor::colorForKey("HLNSmallFileColor");
        QColor large = TFColor::colorForKey("HLNLargeFileColor");
        if (!small.isValid())
            small = TFColor::colorForString("#3d85c6");
        if (!large.isValid())
            large = TFColor::colorForString("#e0601b");
        Styles out;
        out.attention = {fixed, QColor::fromRgbF(1, 0, 0, 1)};
        out.unsized = {fixed, QColor::fromRgbF(36 / 255.0, 84 / 255.0, 84 / 255.0, 1)};
        const double fractions[6] = {0, 0.3, 0.6, 0.95, 0.99, 1};
        for (int i = 0; i < 6; ++i)
            out.bands[i] = {fixed, i == 0   ? small
                                   : i == 5 ? large
                                            : blended(small, large, fractions[i])};
        return out;
    }();
    return s;
}

} // namespace

int HLNFileBrowserCell::bandForSize(uint64_t n) {
    if (n < 1024)
        return 0;
    double x = static_cast<double>(n) * 0.0009765625;
    for (int band = 1; band < 5; ++band) {
        if (x < 1024)
            return band;
        x *= 0.0009765625;
    }
    return 5;
}

const HLNFileBrowserCell::Style& HLNFileBrowserCell::attentionStyle() {
    return styles().attention;
}
const HLNFileBrowserCell::Style& HLNFileBrowserCell::unsizedStyle() {
    return styles().unsized;
}
const HLNFileBrowserCell::Style& HLNFileBrowserCell::bandStyle(int band) {
    return styles().bands.at(band);
}

QFont HLNFileBrowserCell::nameFont() {
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPointSize(12);
    return font;
}

QFont HLNFileBrowserCell::linkNameFont() {
    QFont font = nameFont();
    font.setItalic(true);
    return font;
}

QColor HLNFileBrowserCell::greyedNameColor() {
    const QPalette palette = QApplication::palette();
    const QColor text = palette.color(QPalette::Text), base = palette.color(QPalette::Base);
    // One third of the way from the text towards the background: 1/3 grey
    // for black on white, and still legible for light text on dark.
    return blended(text, base, 1.0 / 3.0);
}

namespace {
bool cellsShowDates = false;
uint64_t styleGeneration = 1;
} // namespace

void HLNFileBrowserCell::setShowsDates(bool shows) {
    cellsShowDates = shows;
    restyleAll();
}

bool HLNFileBrowserCell::showsDates() {
    return cellsShowDates;
}

void HLNFileBrowserCell::restyleAll() {
    ++styleGeneration;
}

QString HLNFileBrowserCell::figureText(uint64_t figure, bool withUnit, bool asBytes) {
    if (asBytes || HLNFile::shownFigure() != HLNFile::Figure::items)
        return QString::fromStdString(TFString::abbreviatedStringForBytes(figure));
    const QString count = QLocale().toString(qulonglong(figure));
    return withUnit ? QString("%1 %2").arg(count, figure == 1 ? "item" : "items") : count;
}

std::optional<uint64_t> HLNFileBrowserCell::shownFigureOf(const HLNFile::Snapshot& now) {
    const HLNFile::Figure figure = HLNFile::shownFigure();
    if (figure == HLNFile::Figure::apparentSize && !now.knowsApparent)
        return std::nullopt;
    return HLNFile::figureOf(now.measures, figure);
}

QString HLNFileBrowserCell::sizeFieldText(SizeStatus status, uint64_t bytes, bool asBytes) {
    QString text;
    switch (status) {
    case SizeStatus::notStarted:
        text = QString::fromStdString(TFString::spacesOfLength(10));
        break;
    case SizeStatus::inProgress:
    case SizeStatus::complete:
        text = figureText(bytes, false, asBytes) + "  ";
        break;
    case SizeStatus::goneOrGoing:
        text = "trashing ";
        break;
    }
    if (text.size() < 10)
        text.prepend(QString::fromStdString(TFString::spacesOfLength(10 - text.size())));
    return text;
}

std::unique_ptr<HLNBrowserCell> HLNFileBrowserCell::copy() const {
    // The copy starts without a node and takes its own reference through setFile.
    auto cell = std::unique_ptr<HLNFileBrowserCell>(new HLNFileBrowserCell);
    cell->setLeaf(HLNBrowserCell::isLeaf());
    cell->HLNBrowserCell::setState(state());
    cell->setFile(_file);
    cell->setReading(_reading, _column, _row);
    return cell;
}

void HLNFileBrowserCell::setReading(Reading* reading, int column, int row) {
    _reading = reading;
    _column = column;
    _row = row;
}

HLNFile::Snapshot HLNFileBrowserCell::_current() const {
    HLNFile::Snapshot now;
    if (!_file)
        return now;
    if (_reading && _reading->shownSnapshot(_file.get(), _column, _row, now))
        return now;
    return _file->snapshot();
}

HLNFileBrowserCell::Shown HLNFileBrowserCell::_shown(const HLNFile::Snapshot& now) const {
    Shown shown;
    std::optional<uint64_t> exclusive;
    if (_reading && _reading->exclusiveBytes(_file.get(), _column, _row, exclusive)) {
        shown.exclusive = true;
        shown.pending = !exclusive;
        // Until it is known, the usual figure, greyed.
        shown.figure = exclusive ? exclusive : std::optional<uint64_t>(now.measures.bytes);
        if (!exclusive && now.countedAtAnotherName)
            shown.figure = now.countedElsewhere.bytes;
        return shown;
    }
    shown.figure = shownFigureOf(now);
    return shown;
}

void HLNFileBrowserCell::setFile(const Ref<HLNFile>& file) {
    if (file == _file)
        return;
    _file = file;
    _stale = true;
}

void HLNFileBrowserCell::setState(int state) {
    HLNBrowserCell::setState(state);
    _stale = true;
}

QString HLNFileBrowserCell::stringValue() const {
    return _file ? TFString::stringForName(_file->nameView()) : QString();
}

const std::vector<HLNTextRun>& HLNFileBrowserCell::attributedStringValue() const {
    if (_stale)
        _updateDisplayAttributes(_current());
    return _text;
}

bool HLNFileBrowserCell::isLeaf() const {
    if (_stale)
        _updateDisplayAttributes(_current());
    return !_branch;
}

int HLNFileBrowserCell::cellHeight(const QFont&) const {
    return std::max(QFontMetrics(attentionStyle().font).height(),
                    QFontMetrics(nameFont()).height()) +
           4;
}

void HLNFileBrowserCell::drawWithFrame(QPainter* painter, const QRect& frame,
                                       const QStyleOptionViewItem& option) {
    if (_file) {
        const HLNFile::Snapshot now = _current();
        const Shown shown = _shown(now);
        if (shown.figure.value_or(UINT64_MAX) != _lastSize || now.sizeStatus != _lastStatus ||
            shown.exclusive != _lastExclusive || shown.pending != _lastPending ||
            _styleGeneration != styleGeneration)
            _stale = true;
        if (_stale)
            _updateDisplayAttributes(now);
    } else if (_stale) {
        _updateDisplayAttributes(HLNFile::Snapshot());
    }
    HLNBrowserCell::drawWithFrame(painter, frame, option);
}

void HLNFileBrowserCell::_updateDisplayAttributes(const HLNFile::Snapshot& now) const {
    _stale = false;
    ++_rebuilds;
    _text.clear();
    _branch = false;
    if (!_file)
        return;

    _lastStatus = now.sizeStatus;
    const Shown shown = _shown(now);
    const std::optional<uint64_t> figure = shown.figure;
    _lastSize = figure.value_or(UINT64_MAX);
    _lastExclusive = shown.exclusive;
    _lastPending = shown.pending;
    _styleGeneration = styleGeneration;
    _branch = now.isDirectory && _lastStatus != SizeStatus::goneOrGoing;

    const Style* sizeStyle = &unsizedStyle();
    switch (_lastStatus) {
    case SizeStatus::notStarted:
        sizeStyle = &unsizedStyle();
        break;
    case SizeStatus::inProgress:
    case SizeStatus::goneOrGoing:
        sizeStyle = &attentionStyle();
        break;
    case SizeStatus::complete:
        sizeStyle = &bandStyle(bandForSize(_lastSize));
        break;
    }
    if (!figure && _lastStatus == SizeStatus::complete) {
        // The scan does not say: unknown, never 0.
        _text.push_back({sizeFieldText(SizeStatus::notStarted, 0).replace(6, 1, QChar(0x2014)),
                         unsizedStyle().font, greyedNameColor()});
    } else if (now.countedAtAnotherName && _lastStatus != SizeStatus::goneOrGoing) {
        // Another name of the file carries its bytes: shown greyed, marked.
        QString text = sizeFieldText(
            _lastStatus,
            shown.exclusive ? _lastSize
                            : HLNFile::figureOf(now.countedElsewhere, HLNFile::shownFigure()),
            shown.exclusive);
        text.replace(text.size() - 2, 2, QString::fromUtf8(" \u2194"));
        _text.push_back({text, sizeStyle->font, greyedNameColor()});
    } else if (shown.pending && _lastStatus != SizeStatus::goneOrGoing) {
        // Exclusive bytes not known yet: the usual figure, greyed, so that
        // the column still reads and nothing shows as freed that may not be.
        _text.push_back(
            {sizeFieldText(_lastStatus, _lastSize, true), sizeStyle->font, greyedNameColor()});
    } else {
        _text.push_back({sizeFieldText(_lastStatus, _lastSize, shown.exclusive), sizeStyle->font,
                         sizeStyle->color});
    }

    // A scan's entries are another machine's: this one's packages and
    // mounts say nothing about them.
    const std::string path = _file->isImported() ? std::string() : _file->path();
    const bool greyed =
        !path.empty() && (!HLNPackageReceipt::packageNamesForFilename(path).empty() ||
                          _file->hadDrivesMountedUnderneathLastTimeWeCheckedDrives());
    _text.push_back({TFString::displayStringForName(_file->nameView()),
                     now.isLink ? linkNameFont() : nameFont(),
                     greyed ? greyedNameColor() : QColor()});
    if (cellsShowDates && now.knowsModification && _lastStatus == SizeStatus::complete &&
        now.measures.newest != HLNFile::kNoModification)
        _text.push_back({dateText(now.measures.newest), HLNShrinkingTextDisplayer::defaultFont(),
                         greyedNameColor(), true});
    QString note;
    QColor noteColor;
    if (_reading && _reading->noteFor(_file.get(), note, noteColor))
        _text.push_back({note, HLNShrinkingTextDisplayer::defaultFont(), noteColor, true});
}

QString HLNFileBrowserCell::dateText(int64_t seconds) {
    return QLocale().toString(QDateTime::fromSecsSinceEpoch(seconds).date(), QLocale::ShortFormat);
}
