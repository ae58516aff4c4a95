#include "scans/HLNScanLoad.h"

#include "model/HLNBackgroundFileSizer.h"
#include "model/HLNRefreshRequests.h"
#include "toolkit/TFMainThread.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <system_error>
#include <thread>

namespace {
// Entries in a batch, and batches in flight: a few megabytes at most.
constexpr size_t kBatchEntries = 4096;
constexpr size_t kMaxBatches = 8;
// How often the sizing thread shows the folders still open.
constexpr auto kShowEvery = std::chrono::milliseconds(200);
// How long a drain waits for the next batch, when no other work waits,
// before it lets the sizing thread go on (the next batch posts a drain anew).
constexpr auto kWaitForBatch = std::chrono::milliseconds(50);
} // namespace

// The reading thread's sink: the events, copied into batches. It answers
// as the tree will when they reach it.
class HLNScanLoad::BatchSink : public TFTreeSink {
public:
    explicit BatchSink(HLNScanLoad& load) : _load(load), _batch(load._spareBatch()) {}
    bool entry(const Folder&, const char* name, const Examination& ex, bool enterable) override {
        _load._entries.fetch_add(1, std::memory_order_relaxed);
        Record& record = _add(Record::entry, name);
        record.examination = ex;
        record.enterable = enterable;
        _handIfFull();
        return HLNScanTree::enters(ex, enterable);
    }
    bool enterFolder(const Folder& folder) override {
        _add(Record::entering, folder.name.c_str());
        _handIfFull();
        return true;
    }
    void leaveFolder(const Folder&) override {
        _add(Record::leaving, "");
        _handIfFull();
    }
    void readError(const Folder*, const char* name, int error) override {
        Record& record = _add(Record::unread, name ? name : "");
        record.examination = Examination();
        record.examination.error = error;
        record.enterable = name != nullptr;
        _handIfFull();
    }
    // The last batch, with what went wrong ("" when nothing did).
    void end(const std::string& problem) {
        _batch.last = true;
        _batch.problem = problem;
        _load._hand(std::move(_batch));
    }

private:
    Record& _add(Record::Kind kind, const char* name) {
        if (_batch.used == _batch.records.size())
            _batch.records.emplace_back();
        Record& record = _batch.records[_batch.used++];
        record.kind = kind;
        record.at = HLNScanReader::entryOffset(*_load._parser);
        record.name.assign(name); // into the room its name had
        return record;
    }
    void _handIfFull() {
        if (_batch.used < kBatchEntries)
            return;
        _load._hand(std::move(_batch));
        _batch = _load._spareBatch();
    }
    HLNScanLoad& _load;
    Batch _batch;
};

HLNScanLoad::Opening HLNScanLoad::open(const std::string& path, std::string* error) {
    Opening opening;
    auto load = std::shared_ptr<HLNScanLoad>(new HLNScanLoad);
    load->_tree = std::make_unique<HLNScanTree>();
    HLNScanReader::Reading reading =
        HLNScanReader::readHead(path, opening.scan, *load->_tree, error);
    if (!reading.parser)
        return opening;
    if (reading.fileBytes <= kReadHereBytes) {
        // Read whole at once: a window that opens complete.
        try {
            HLNScanReader::readRest(*reading.parser, *load->_tree);
            opening.scan.root = load->_tree->finish();
        } catch (const HLNScanReader::Failure& f) {
            if (error)
                *error = f.message();
        } catch (const std::bad_alloc&) {
            if (error)
                *error = "not enough memory to read the scan";
        }
        return opening;
    }
    // Started here, on the main thread, which reads what its first act needs.
    HLNBackgroundFileSizer::startBackgroundThread();
    load->_parser = std::move(reading.parser);
    opening.scan.root = load->_tree->root();
    // The top, for the events about its entries (the tree needs its name only).
    load->_folders.push_back({opening.scan.root->path(), {}, 0});
    load->_tree->beginShowing(); // not yet shown: no other thread knows the root
    try {
        load->_start();
    } catch (const std::system_error& e) {
        if (error)
            *error = std::string("the scan could not be read (") + e.what() + ")";
        opening.scan.root = nullptr;
        load->_tree->finishEarly()->releaseNow();
        return opening;
    }
    opening.load = std::move(load);
    return opening;
}

HLNScanLoad::~HLNScanLoad() = default;

void HLNScanLoad::_start() {
    _nextShown = std::chrono::steady_clock::now() + kShowEvery;
    std::thread([self = shared_from_this()] { self->_read(); }).detach();
}

void HLNScanLoad::_read() {
    BatchSink sink(*this);
    std::string problem;
    try {
        try {
            HLNScanReader::readRest(*_parser, sink);
        } catch (const HLNScanReader::Failure& f) {
            problem = f.message();
        } catch (const std::bad_alloc&) {
            problem = "not enough memory to read the scan";
        }
        sink.end(problem);
    } catch (const Stopped&) {
    } catch (const std::bad_alloc&) {
        // No room for the last batch: the sizing thread is told without one.
        std::unique_lock held(_lock);
        if (!_stopped) {
            Batch last;
            last.last = true;
            last.problem = "not enough memory to read the scan";
            _queue.push_back(std::move(last));
            _postDrain(held);
        }
    }
    _parser.reset(); // the file is closed
}

void HLNScanLoad::_hand(Batch&& batch) {
    std::unique_lock held(_lock);
    _room.wait(held, [this] { return _stopped || _queue.size() < kMaxBatches; });
    if (_stopped)
        throw Stopped{};
    _queue.push_back(std::move(batch));
    _filled.notify_one();
    _postDrain(held);
}

HLNScanLoad::Batch HLNScanLoad::_spareBatch() {
    {
        std::scoped_lock held(_lock);
        if (!_spare.empty()) {
            Batch batch = std::move(_spare.back());
            _spare.pop_back();
            return batch;
        }
    }
    Batch batch;
    batch.records.reserve(kBatchEntries);
    return batch;
}

void HLNScanLoad::_postDrain(std::unique_lock<std::mutex>& held) {
    if (_drainPosted)
        return;
    _drainPosted = true;
    held.unlock();
    HLNBackgroundFileSizer::performOnSizingThread([self = shared_from_this()] { self->_drain(); });
    held.lock();
}

bool HLNScanLoad::cancel() {
    _ended = nullptr;
    std::unique_lock held(_lock);
    if (_done)
        return false;
    _stopped = true;
    _room.notify_all();
    _postDrain(held);
    return true;
}

void HLNScanLoad::_drain() {
    for (;;) {
        Batch batch;
        const bool othersWait = HLNBackgroundFileSizer::requestsWaiting();
        {
            std::unique_lock held(_lock);
            if (_done)
                return;
            if (_stopped) {
                held.unlock();
                _end("");
                return;
            }
            if (_queue.empty() && !othersWait)
                _filled.wait_for(held, kWaitForBatch,
                                 [this] { return _stopped || !_queue.empty(); });
            if (_stopped)
                continue;
            if (_queue.empty()) {
                _drainPosted = false; // the reader posts the next one
                return;
            }
            batch = std::move(_queue.front());
            _queue.pop_front();
            _room.notify_one();
        }
        size_t i = 0;
        try {
            for (; i < batch.used; ++i)
                _apply(batch.records[i]);
        } catch (HLNScanReader::Failure& f) {
            f.at = batch.records[i].at;
            _end(f.message());
            return;
        } catch (const std::bad_alloc&) {
            _end("not enough memory to read the scan");
            return;
        }
        if (batch.last) {
            _end(batch.problem);
            return;
        }
        batch.used = 0;
        {
            std::scoped_lock held(_lock);
            _spare.push_back(std::move(batch));
        }
        if (std::chrono::steady_clock::now() >= _nextShown) {
            // A folder of millions of entries is copied whole to be shown:
            // shown less often, so that showing costs a tenth at most.
            const auto start = std::chrono::steady_clock::now();
            try {
                _tree->showSoFar();
            } catch (const std::bad_alloc&) {
                // Not shown this time; the reading goes on.
            }
            const auto now = std::chrono::steady_clock::now();
            _nextShown =
                now + std::max<std::chrono::steady_clock::duration>(kShowEvery, 10 * (now - start));
            HLNRefreshRequests::updateUIIfNeeded();
        }
    }
}

void HLNScanLoad::_apply(const Record& record) {
    switch (record.kind) {
    case Record::entry:
        if (_tree->entry(_folders.back(), record.name.c_str(), record.examination,
                         record.enterable))
            _folders.push_back({record.name, record.examination, _folders.back().depth + 1});
        break;
    case Record::entering:
        _tree->enterFolder(_folders.back());
        break;
    case Record::leaving:
        _tree->leaveFolder(_folders.back());
        _folders.pop_back();
        break;
    case Record::unread:
        if (record.enterable) { // the folder just entered
            _folders.pop_back();
            _tree->readError(&_folders.back(), record.name.c_str(), record.examination.error);
        } else {
            _tree->readError(&_folders.back(), nullptr, record.examination.error);
        }
        break;
    }
}

void HLNScanLoad::_end(const std::string& problem) {
    bool cancelled;
    {
        std::scoped_lock held(_lock);
        cancelled = _stopped;
        _stopped = true; // the reading thread stops at its next batch
        _done = true;
        _queue.clear();
        _room.notify_all();
    }
    // A damaged scan keeps what was read before it, every folder closed.
    Ref<HLNFile> root = _tree->finishEarly();
    _tree.reset();
    if (cancelled) {
        root->invalidate(); // its window is gone
        return;
    }
    HLNRefreshRequests::updateUI();
    TFMainThread::perform([self = shared_from_this(), problem] {
        if (Ended ended = std::move(self->_ended))
            ended(problem);
    });
}
