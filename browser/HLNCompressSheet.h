#pragma once

#include "model/HLNCompression.h"

#include <QObject>
#include <QPointer>
#include <QProgressDialog>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class QTimer;
class QWidget;

// A browser window's Compress: the question first (what will happen, and
// the saving to expect from a sample), then the work on a thread of its own
// with progress and Cancel, then what it saved. The window's tree is not
// touched here: `finished` is handed the folders that changed, to be read
// again. Main thread only; the work's thread only runs HLNCompression.
class HLNCompressSheet : public QObject {
    Q_OBJECT
public:
    using Finished = std::function<void(const std::vector<std::string>& changedFolders)>;

    // Asks about compressing paths (usage: their disk usage, as the window
    // shows it) over window; answers the sheet, running, once confirmed
    // (owned by parent), or null when it was not.
    static HLNCompressSheet* ask(QWidget* window, QObject* parent,
                                 const std::vector<std::string>& paths, uint64_t usage,
                                 Finished finished);

    // The question's informative text for a plan, as the sheet shows it.
    static QString questionText(const std::vector<HLNCompression::Item>& items, uint64_t usage,
                                std::optional<double> ratio);

    QProgressDialog* progressDialog() const { return _progress; }
    bool running() const { return _thread.joinable(); }

    // Cancels and waits for the work to stop (at its next block).
    ~HLNCompressSheet() override;

private:
    HLNCompressSheet(QWidget* window, QObject* parent, std::vector<HLNCompression::Item> items,
                     Finished finished);
    void _poll();
    void _tell(const HLNCompression::Outcome& outcome);

    struct Work {
        HLNCompression::Progress progress;
        HLNCompression::Outcome outcome; // the thread's until done
        std::atomic<bool> done{false};
    };
    QWidget* _window;
    std::vector<HLNCompression::Item> _items;
    Finished _finished;
    std::shared_ptr<Work> _work;
    std::thread _thread;
    QPointer<QProgressDialog> _progress; // the window's child: it may go first
    QTimer* _timer = nullptr;
};
