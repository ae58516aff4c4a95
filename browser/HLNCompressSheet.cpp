#include "browser/HLNCompressSheet.h"

#include "model/HLNRefreshRequests.h"
#include "toolkit/TFString.h"

#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QStringList>
#include <QTimer>
#include <QWidget>
#include <algorithm>

namespace {

QString bytesText(uint64_t bytes) {
    return QString::fromStdString(TFString::abbreviatedStringForBytes(bytes));
}

QString lastName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return TFString::displayStringForName(slash == std::string::npos ? path
                                                                     : path.substr(slash + 1));
}

QString lines(const std::vector<std::string>& texts, int most = 10) {
    QStringList out;
    for (const std::string& text : texts) {
        if (out.size() == most) {
            out << QString("and %1 more").arg(texts.size() - most);
            break;
        }
        out << TFString::displayStringForName(text);
    }
    return out.join("\n");
}

} // namespace

QString HLNCompressSheet::questionText(const std::vector<HLNCompression::Item>& items,
                                       uint64_t usage, std::optional<double> ratio) {
    bool inPlace = false;
    QStringList archived; // the archives' names
    QStringList refused;
    for (const HLNCompression::Item& item : items) {
        if (!item.refusal.empty())
            refused << QString("\u201c%1\u201d: %2")
                           .arg(lastName(item.path), QString::fromStdString(item.refusal));
        else if (item.inPlace)
            inPlace = true;
        else
            archived << lastName(item.path) + ".tar.zst";
    }
    QStringList parts;
    if (inPlace)
        parts << "On btrfs the files are recompressed where they are with zstd, and what is "
                 "written to them later stays compressed. Nothing is copied or removed; files "
                 "written compressed already gain little.";
    if (archived.size() == 1)
        parts << QString("It is written to an archive, \u201c%1\u201d, beside it, which is read "
                         "back and checked against it; only then is it moved to the Trash, from "
                         "where it can be restored. Space is freed once the Trash is emptied.")
                     .arg(archived.front());
    else if (!archived.isEmpty())
        parts << "Each is written to an archive, NAME.tar.zst, beside it, which is read back and "
                 "checked against it; only then is it moved to the Trash, from where it can be "
                 "restored. Space is freed once the Trash is emptied.";
    if (ratio)
        parts << QString("Expected saving: about %1 of %2 (zstd on a sample of the files).")
                     .arg(bytesText(uint64_t(double(usage) * (1.0 - *ratio))), bytesText(usage));
    else
        parts << "Expected saving: unknown until done.";
    if (!refused.isEmpty())
        parts << "Left as they are:\n" + refused.join("\n");
    return parts.join("\n\n");
}

HLNCompressSheet* HLNCompressSheet::ask(QWidget* window, QObject* parent,
                                        const std::vector<std::string>& paths, uint64_t usage,
                                        Finished finished) {
    std::vector<HLNCompression::Item> items = HLNCompression::plan(paths);
    const bool any = std::any_of(items.begin(), items.end(),
                                 [](const auto& item) { return item.refusal.empty(); });
    QMessageBox box(QMessageBox::Question, "Hollin",
                    any ? QString("Compress the selected files?")
                        : QString("The selected files can't be compressed."),
                    QMessageBox::NoButton, window);
    box.setInformativeText(questionText(items, usage, HLNCompression::estimatedRatio(items)));
    QPushButton* compress = any ? box.addButton("Compress", QMessageBox::AcceptRole) : nullptr;
    QPushButton* cancel = box.addButton(any ? "Cancel" : "OK", QMessageBox::RejectRole);
    box.setDefaultButton(cancel);
    box.setEscapeButton(cancel);
    {
        const HLNRefreshRequests::Hold refreshesWait; // nothing re-sorted under the question
        box.exec();
    }
    if (!compress || box.clickedButton() != compress)
        return nullptr;
    return new HLNCompressSheet(window, parent, std::move(items), std::move(finished));
}

HLNCompressSheet::HLNCompressSheet(QWidget* window, QObject* parent,
                                   std::vector<HLNCompression::Item> items, Finished finished)
    : QObject(parent), _window(window), _items(std::move(items)), _finished(std::move(finished)),
      _work(std::make_shared<Work>()) {
    _progress = new QProgressDialog("Compressing\u2026", "Cancel", 0, 1000, window);
    _progress->setObjectName("compressProgress");
    _progress->setWindowModality(Qt::WindowModal);
    _progress->setMinimumDuration(500); // only long work shows it
    _progress->setAutoClose(false);
    _progress->setAutoReset(false);
    _progress->setValue(0);
    connect(_progress, &QProgressDialog::canceled, this, [this] {
        _work->progress.control.cancel = true;
        _progress->setLabelText("Cancelling\u2026");
    });
    _thread = std::thread([work = _work, items = _items] {
        work->outcome = HLNCompression::run(items, work->progress);
        work->done.store(true, std::memory_order_release);
    });
    _timer = new QTimer(this);
    _timer->setInterval(100);
    connect(_timer, &QTimer::timeout, this, &HLNCompressSheet::_poll);
    _timer->start();
}

HLNCompressSheet::~HLNCompressSheet() {
    if (_thread.joinable()) {
        _work->progress.control.cancel = true;
        _thread.join();
    }
    delete _progress;
}

void HLNCompressSheet::_poll() {
    if (!_work->done.load(std::memory_order_acquire)) {
        const uint64_t total = _work->progress.total.load();
        const uint64_t done = _work->progress.control.bytesDone.load();
        if (_progress && total > 0 && !_progress->wasCanceled())
            _progress->setValue(int(std::min<uint64_t>(999, done * 1000 / total)));
        return;
    }
    _timer->stop();
    _thread.join();
    if (_progress)
        _progress->hide();
    const HLNCompression::Outcome outcome = std::move(_work->outcome);
    if (_finished)
        _finished(outcome.changedFolders);
    // The window may close while the last message is up, and take this along.
    const QPointer<HLNCompressSheet> self(this);
    _tell(outcome);
    if (self)
        deleteLater();
}

void HLNCompressSheet::_tell(const HLNCompression::Outcome& outcome) {
    QString text;
    if (outcome.cancelled)
        text = "Compressing was cancelled.";
    else if (outcome.saved == 0)
        text = outcome.failures.empty() ? QString("Nothing was saved.")
                                        : QString("The selection could not be compressed.");
    else
        text = QString("Saved %1%2.")
                   .arg(bytesText(outcome.saved),
                        outcome.throughTrash ? QString(" once the Trash is emptied") : QString());
    QStringList parts;
    if (!outcome.done.empty())
        parts << lines(outcome.done);
    if (!outcome.failures.empty())
        parts << "Left as they were:\n" + lines(outcome.failures);
    if (outcome.cancelled)
        parts << "What was not done yet is as it was, with no archive left behind.";
    QMessageBox box(outcome.ok() ? QMessageBox::Information : QMessageBox::Warning, "Hollin", text,
                    QMessageBox::Ok, _window);
    box.setInformativeText(parts.join("\n\n"));
    box.exec();
}
