#include "history/HLNHistoryRecorder.h"

#include "history/HLNHistory.h"

HLNHistoryRecorder& HLNHistoryRecorder::shared() {
    // Never destroyed: a window's last record may still be on its way at exit.
    static auto* recorder = new HLNHistoryRecorder(HLNHistory::defaultPath());
    return *recorder;
}

HLNHistoryRecorder::HLNHistoryRecorder(std::string databasePath, size_t keepLast)
    : _history(std::make_unique<HLNHistory>(std::move(databasePath), keepLast)) {}

HLNHistoryRecorder::~HLNHistoryRecorder() {
    {
        std::lock_guard<std::mutex> held(_lock);
        _stopping = true;
    }
    _changed.notify_all();
    if (_thread) {
        _thread->join();
        delete _thread;
    }
}

void HLNHistoryRecorder::record(HLNFolderFigures figures, std::function<void(bool)> done) {
    {
        std::lock_guard<std::mutex> held(_lock);
        _jobs.push_back({std::move(figures), std::move(done)});
        if (!_thread)
            _thread = new std::thread([this] { _run(); });
    }
    _changed.notify_all();
}

void HLNHistoryRecorder::waitUntilIdle() {
    std::unique_lock<std::mutex> held(_lock);
    _changed.wait(held, [this] { return _jobs.empty() && !_busy; });
}

std::string HLNHistoryRecorder::lastProblem() {
    std::lock_guard<std::mutex> held(_lock);
    return _problem;
}

void HLNHistoryRecorder::_run() {
    std::unique_lock<std::mutex> held(_lock);
    for (;;) {
        _changed.wait(held, [this] { return !_jobs.empty() || _stopping; });
        if (_jobs.empty())
            return; // stopping, with everything saved
        Job job = std::move(_jobs.front());
        _jobs.pop_front();
        _busy = true;
        held.unlock();
        const bool saved = _history->save(job.figures);
        if (job.done)
            job.done(saved);
        held.lock();
        _problem = _history->lastProblem();
        _busy = false;
        _changed.notify_all();
    }
}
