#include "app/HLNTreemapCommand.h"

#include "browser/HLNFileBrowserCell.h"
#include "browser/HLNTreemapLayout.h"
#include "browser/HLNTreemapPainter.h"
#include "model/HLNBackgroundFileSizer.h"
#include "model/HLNFile.h"
#include "model/HLNTreemapSnapshot.h"
#include "toolkit/TFOutputFile.h"
#include "toolkit/TFPathArgument.h"
#include "toolkit/TFStandardStreams.h"
#include "toolkit/TFString.h"

#include <QBuffer>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr int defaultWidth = 1600, defaultHeight = 1000;
constexpr int largestSide = 16384;

bool endsWith(std::string text, const std::string& suffix) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = char(c + 32);
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// "WIDTHxHEIGHT", each side a plain decimal number from 1 to largestSide.
bool parseSize(const std::string& text, int& width, int& height) {
    const size_t x = text.find('x');
    if (x == std::string::npos || x == 0 || x + 1 == text.size() || x > 5 ||
        text.size() - x - 1 > 5)
        return false;
    auto number = [](const std::string& digits, int& out) {
        out = 0;
        for (char c : digits) {
            if (c < '0' || c > '9')
                return false;
            out = out * 10 + (c - '0');
        }
        return out >= 1 && out <= largestSide;
    };
    return number(text.substr(0, x), width) && number(text.substr(x + 1), height);
}

// Text for an XML attribute or element, with the characters XML cannot
// hold written as the bytes they are (\xNN), as names are escaped.
std::string xmlText(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\t':
            out += "&#9;";
            break;
        case '\n':
            out += "&#10;";
            break;
        case '\r':
            out += "&#13;";
            break;
        default:
            if (c < 0x20 || c == 0x7F || (c == 0xEF && text.compare(i + 1, 2, "\xBF\xBE") == 0) ||
                (c == 0xEF && text.compare(i + 1, 2, "\xBF\xBF") == 0)) {
                const size_t n = c == 0xEF ? 3 : 1;
                out += TFString::escapedStringForName(std::string_view(text).substr(i, n));
                i += n - 1;
            } else {
                out += char(c);
            }
        }
    }
    return out;
}

std::string xmlText(const QString& shown) {
    return xmlText(shown.toUtf8().toStdString());
}

// The entry's path, escaped so that no two paths share it.
std::string pathText(const HLNTreemapSnapshot& s, uint32_t i) {
    return xmlText(TFString::escapedStringForName(s.pathOf(i)));
}

std::string hex(const QColor& c) {
    return c.name(QColor::HexRgb).toStdString();
}

// The picture's text, written to its file a piece at a time; the first
// failure is kept and the rest is dropped.
class PictureText {
public:
    explicit PictureText(TFOutputFile& file) : _file(file), _error(file.error()) {}
    void put(const char* text) {
        _text += text;
        _writeIfFull();
    }
    __attribute__((format(printf, 2, 3))) void print(const char* format, ...) {
        va_list args, again;
        va_start(args, format);
        va_copy(again, args);
        const int n = std::vsnprintf(nullptr, 0, format, args);
        va_end(args);
        if (n > 0) {
            const size_t start = _text.size();
            _text.resize(start + size_t(n) + 1);
            std::vsnprintf(_text.data() + start, size_t(n) + 1, format, again);
            _text.resize(start + size_t(n));
        }
        va_end(again);
        _writeIfFull();
    }
    // Everything written and the file made whole: 0 or the errno.
    int finish() {
        _write();
        return _error ? _error : _file.commit();
    }

private:
    void _writeIfFull() {
        if (_text.size() >= (1 << 16))
            _write();
    }
    void _write() {
        if (!_error)
            _error = _file.write(_text.data(), _text.size());
        _text.clear();
    }

    TFOutputFile& _file;
    std::string _text;
    int _error;
};

// Answers 0 or the errno; on failure a file that was there is left whole.
int writeSvg(const std::string& output, const HLNTreemapSnapshot& s, const HLNTreemapLayout& layout,
             int width, int height, const QString& caption) {
    TFOutputFile file(output);
    if (file.fd() < 0)
        return file.error();
    PictureText f(file);
    f.print("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"0 "
            "0 %d %d\">\n",
            width, height, width, height);
    f.print("<title>%s</title>\n", xmlText(caption).c_str());
    const std::vector<bool> hatched = HLNTreemapPainter::busyEntries(s);
    const QColor attention = HLNFileBrowserCell::attentionStyle().color;
    const auto& entries = s.entries();
    auto drawn = [&](uint32_t i) { return layout.rects()[i].area() > 0; };
    auto hasDrawnChild = [&](uint32_t i) {
        for (uint32_t k = 0; k < entries[i].childCount; ++k)
            if (drawn(entries[i].firstChild + k))
                return true;
        return false;
    };
    // Depth first with an explicit stack (trees can be deep); a folder with
    // drawn entries is a group holding its own rectangle and then theirs.
    struct Step {
        uint32_t entry;
        bool close;
    };
    std::vector<Step> stack;
    if (!entries.empty() && drawn(0))
        stack.push_back({0, false});
    while (!stack.empty()) {
        const Step step = stack.back();
        stack.pop_back();
        if (step.close) {
            f.put("</g>\n");
            continue;
        }
        const uint32_t i = step.entry;
        const auto& e = entries[i];
        const auto& r = layout.rects()[i];
        const bool group = hasDrawnChild(i);
        const uint8_t kind = HLNTreemapPainter::kindOfEntry(s, i);
        const std::string path = pathText(s, i);
        if (group)
            f.put("<g>\n");
        f.print("<rect x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\" data-path=\"%s\" "
                "data-bytes=\"%llu\" fill=\"%s\" stroke=\"%s\" stroke-width=\"%s\">"
                "<title>%s\n%s</title></rect>\n",
                r.x, r.y, r.w, r.h, path.c_str(), static_cast<unsigned long long>(e.bytes),
                hex(HLNTreemapPainter::colorOfKind(kind)).c_str(),
                hatched[i] ? hex(attention).c_str() : "#000000", hatched[i] ? "1.5" : "0.25",
                path.c_str(), TFString::abbreviatedStringForBytes(e.bytes).c_str());
        if (group) {
            stack.push_back({i, true});
            for (uint32_t k = e.childCount; k-- > 0;)
                if (drawn(e.firstChild + k))
                    stack.push_back({e.firstChild + k, false});
        }
    }
    // The legend, drawn with paths so that every <rect> is an entry.
    const QRect map = HLNTreemapPainter::mapRectForSize(QSize(width, height));
    if (map.height() < height) {
        const int top = map.height(), strip = height - map.height();
        const int box = std::max(6, QFontMetrics(QGuiApplication::font()).ascent() - 2);
        const int y = top + (strip - box) / 2;
        f.print("<g class=\"legend\" font-family=\"sans-serif\" font-size=\"%d\">\n", box + 2);
        f.print("<text x=\"6\" y=\"%d\">%s</text>\n", y + box, xmlText(caption).c_str());
        int x = std::max(width / 2, width - 9 * 90);
        if (std::find(hatched.begin(), hatched.end(), true) != hatched.end()) {
            // "sizing" only while something in the map is.
            f.print("<path d=\"M%d %dh%dv%dh-%dz\" fill=\"none\" stroke=\"%s\"/>"
                    "<text x=\"%d\" y=\"%d\">sizing</text>\n",
                    x, y, box, box, box, hex(attention).c_str(), x + box + 4, y + box);
            x += box + 14 + 6 * (box / 2 + 1);
        }
        for (int kind = 0; kind < HLNTreemapPainter::KindCount; ++kind) {
            const QString name = HLNTreemapPainter::nameOfKind(uint8_t(kind));
            f.print(
                "<path d=\"M%d %dh%dv%dh-%dz\" fill=\"%s\"/><text x=\"%d\" y=\"%d\">%s</text>\n", x,
                y, box, box, box, hex(HLNTreemapPainter::colorOfKind(uint8_t(kind))).c_str(),
                x + box + 4, y + box, name.toUtf8().constData());
            x += box + 14 + int(name.size()) * (box / 2 + 1);
        }
        f.put("</g>\n");
    }
    f.put("</svg>\n");
    return f.finish();
}

} // namespace

namespace HLNTreemapCommand {

int run(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr,
                     "usage: hollin --treemap PATH OUTPUT [WIDTHxHEIGHT]\n"
                     "       OUTPUT ends in .png or .svg; the size is %dx%d unless given\n",
                     defaultWidth, defaultHeight);
        return 2;
    }
    const std::string path = argv[2], output = argv[3];
    int width = defaultWidth, height = defaultHeight;
    if (argc == 5 && !parseSize(argv[4], width, height)) {
        std::fprintf(stderr,
                     "hollin: bad picture size \"%s\": give WIDTHxHEIGHT, each from 1 to %d (e.g. "
                     "1600x1000)\n",
                     argv[4], largestSide);
        return 1;
    }
    const bool svg = endsWith(output, ".svg");
    if (!svg && !endsWith(output, ".png")) {
        std::fprintf(stderr, "hollin: %s: the picture's name must end in .png or .svg\n",
                     output.c_str());
        return 1;
    }
    // PATH first: a path that cannot be examined draws no picture.
    const TFPathArgument argument(path);
    if (argument.reportError())
        return 1;
    // No window is shown: draw with the offscreen platform whatever the display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int qtArgc = 1;
    QGuiApplication app(qtArgc, argv);
    Ref<HLNFile> file = HLNFile::initWithParent(nullptr, argument.path());
    if (!file) { // gone since it was examined
        TFPathArgument::report(path, ENOENT);
        return 1;
    }
    HLNBackgroundFileSizer::setStartsReceiptScan(false);
    HLNBackgroundFileSizer::sizeFile(file);

    const bool terminal = TFStandardStreams::standardErrorIsTerminal();
    QTimer poll;
    int ticks = 0;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (file->sizeStatus() == SizeStatus::complete && HLNBackgroundFileSizer::isIdle()) {
            app.quit();
            return;
        }
        if (terminal && ++ticks % 10 == 0) {
            std::fprintf(stderr, "\r\033[K%llu entries, %s",
                         static_cast<unsigned long long>(HLNFile::nodesCreated()),
                         TFString::abbreviatedStringForBytes(file->sizeSoFar()).c_str());
            std::fflush(stderr);
        }
    });
    poll.start(10);
    if (file->sizeStatus() != SizeStatus::complete || !HLNBackgroundFileSizer::isIdle())
        app.exec();
    if (terminal)
        std::fprintf(stderr, "\r\033[K");

    const QRect map = HLNTreemapPainter::mapRectForSize(QSize(width, height));
    const HLNTreemapSnapshot snapshot = HLNTreemapSnapshot::take(
        file, HLNTreemapLayout::minimumFractionForArea(map.width(), map.height()),
        &HLNTreemapPainter::kindOfName,
        HLNTreemapLayout::minimumRootEntryFractionForArea(map.width(), map.height()));
    const HLNTreemapLayout layout(snapshot, {0, 0, double(map.width()), double(map.height())});
    const QString caption = HLNTreemapPainter::captionFor(snapshot);
    // Either way through an output file: a picture that cannot be written
    // leaves the file that was there whole.
    bool written;
    int writeError = 0;
    if (svg) {
        writeError = writeSvg(output, snapshot, layout, width, height, caption);
        written = writeError == 0;
    } else {
        const QImage picture =
            HLNTreemapPainter::picture(snapshot, layout, QSize(width, height), caption);
        QByteArray png;
        QBuffer buffer(&png);
        written =
            !picture.isNull() && buffer.open(QIODevice::WriteOnly) && picture.save(&buffer, "PNG");
        if (written) {
            TFOutputFile out(output);
            writeError = out.write(png.constData(), size_t(png.size()));
            if (!writeError)
                writeError = out.commit();
            written = writeError == 0;
        }
    }
    file->releaseNow();
    if (!written) {
        std::fprintf(stderr, "hollin: %s: the picture could not be written%s%s\n", output.c_str(),
                     writeError ? ": " : "", writeError ? std::strerror(writeError) : "");
        return 1;
    }
    // Entries that could not be read were named as the sizing met them: the
    // picture shows the rest, and the command fails, as --report does.
    return HLNFile::problemsReported() ? 1 : 0;
}

} // namespace HLNTreemapCommand
