#include "toolkit/TFReadAhead.h"

#include "toolkit/TFRotationalDisk.h"
#include "toolkit/TFString.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <new>
#include <string_view>
#include <sys/resource.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

// Folders read and not yet taken, and their names: beyond either the
// workers wait. The names bound the memory the reads hold (some hundred
// bytes a name) whatever the folders' sizes.
constexpr int kReadBudget = 2048;
constexpr size_t kReadNamesBudget = 65536;
// Folders waiting to be read: beyond this the oldest (the last the tree's
// builder gets to, depth first) are dropped.
constexpr size_t kQueuedBudget = 4096;
// A subfolder whose size (in bytes, as its file system counts a folder's)
// is at least this is listed after the rest: some 30,000 names on ext4.
constexpr uint64_t kListedLast = 1 << 20;
// Descriptors that jobs keep between their listing and their read.
constexpr int kDescriptorBudget = 384;
// Workers that read folders of a spinning disk at once: more only make it
// seek between them. Two, not one, as the kernel reports many virtual
// machines' disks as spinning whatever lies beneath.
constexpr int kSpinningWorkers = 2;

} // namespace

struct TFReadAhead::Pieces::State {
    std::function<void(size_t)> piece;
    size_t count = 0;
    size_t next = 0; // under the pool's lock, as is done
    size_t done = 0;
};

namespace {

struct Pool {
    std::mutex lock;                   // leaf lock: no job is read or destroyed while it is held
    std::condition_variable work;      // a job was queued or the read budget freed
    std::condition_variable extraWork; // the same, while the disk is waited on
    std::condition_variable read;      // a job was read
    std::vector<TFReadAhead::JobRef> stack; // the next job to read on top
    // Pieces with some not yet begun, oldest first: taken before any job.
    std::deque<std::shared_ptr<TFReadAhead::Pieces::State>> pieces;
    std::atomic<int> unTaken{0};         // jobs read by workers, not taken
    std::atomic<size_t> unTakenNames{0}; // their names
    std::atomic<int> descriptors{0};     // kept open by jobs
    int busy = 0;
    int helping = 0;      // jobs read ahead by a thread waiting for another
    int spinningBusy = 0; // of busy, reading folders of a spinning disk
    int workers = -1;     // -1: not yet chosen
    int extra = 0;        // workers that read only while the disk is waited on
    bool extraStarted = false;
    bool diskBound = false;  // the last reads blocked often
    long recentBlocks = 0;   // times the last reads blocked, in 1024ths, decaying
    bool countGiven = false; // set or overridden: spinning disks take as many
    bool started = false;
    bool held = false;
    uint64_t readByWorkers = 0;
};

Pool& pool() {
    static auto* p = new Pool; // never destroyed: the workers outlive exit
    return *p;
}

// Under the pool's lock.
int defaultWorkers(Pool& p) {
    // HOLLIN_WORKERS, for measuring: how many, 0 for none.
    if (const char* given = std::getenv("HOLLIN_WORKERS"); given && *given) {
        p.countGiven = true;
        return std::clamp(std::atoi(given), 0, 64);
    }
    // One reading thread a core: the thread that takes the reads is one
    // of them (it reads rather than waits). While the disk is waited on,
    // twice as many.
    const long cores = ::sysconf(_SC_NPROCESSORS_ONLN);
    const int count = cores > 1 ? static_cast<int>(std::min(cores, 16L)) : 1;
    const int workers = std::max(count - 1, 1);
    p.extra = 2 * count - workers;
    return workers;
}

// How often this thread has given up its core so far (to wait for the
// disk, or for a lock; a thread that only shares its core is taken off it,
// which is not counted), and how long it has run, in microseconds.
struct Waits {
    long given = 0;
    int64_t ran = 0;
    static Waits now() {
        rusage usage{};
        ::getrusage(RUSAGE_THREAD, &usage);
        return {usage.ru_nvcsw, (int64_t(usage.ru_utime.tv_sec) + usage.ru_stime.tv_sec) * 1000000 +
                                    usage.ru_utime.tv_usec + usage.ru_stime.tv_usec};
    }
};

// Each name keyed once, not at every comparison. Two words: a folder of a
// million names sorts in 16 MB.
struct Keyed {
    uint64_t key;
    uint32_t offset, length;
};

void sortNames(TFTreeWalker::Listing& names) {
    // Kept by each thread for its next listing, unless a large one grew it.
    static thread_local std::vector<Keyed> keyed;
    keyed.clear();
    if (keyed.capacity() > 1024)
        keyed.shrink_to_fit();
    keyed.reserve(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        std::string_view name(names.name(i));
        keyed.push_back({TFString::nameSortKey(name), names.offsets[i], uint32_t(name.size())});
    }
    const char* text = names.bytes.data();
    std::sort(keyed.begin(), keyed.end(), [text](const Keyed& x, const Keyed& y) {
        if (x.key != y.key && x.key && y.key)
            return x.key < y.key;
        return TFString::compareNamesThenBytes(std::string_view(text + x.offset, x.length),
                                               std::string_view(text + y.offset, y.length)) < 0;
    });
    for (size_t i = 0; i < keyed.size(); ++i)
        names.offsets[i] = keyed[i].offset;
}

} // namespace

// The jobs a worker read and others let go of, for it to free: at once
// when it waits for work (what they hold open is closed soon after the
// tree is done with it).
struct TFReadAhead::Job::Returned {
    std::atomic<Job*> first{nullptr};
    std::atomic<bool> waiting{false}; // its worker waits, on wakes
    std::condition_variable* wakes = nullptr;
};

thread_local TFReadAhead::Job::Returned* TFReadAhead::_ownReturned = nullptr;

struct TFReadAhead::Job::Return {
    void operator()(Job* job) const {
        Returned* to = job->_returnTo;
        if (!to || to == _ownReturned) {
            delete job;
            return;
        }
        job->_nextReturned = to->first.load(std::memory_order_relaxed);
        while (!to->first.compare_exchange_weak(job->_nextReturned, job)) {
        }
        if (to->waiting.load()) {
            // Taken and let go: the worker looks at its returns before it
            // waits, or waits already.
            { std::scoped_lock lock(pool().lock); }
            to->wakes->notify_all();
        }
    }
};

TFReadAhead::JobRef TFReadAhead::_newJob() {
    return JobRef(new Job, Job::Return());
}

namespace {

// A job read ahead is let go of: the workers are woken when the read
// budget was what held them (else they wake for nothing, each a switch).
void untake(size_t names) {
    Pool& p = pool();
    const bool full = p.unTaken.fetch_sub(1, std::memory_order_relaxed) >= kReadBudget;
    if (p.unTakenNames.fetch_sub(names, std::memory_order_relaxed) >= kReadNamesBudget || full)
        p.work.notify_all();
}

} // namespace

TFReadAhead::Job::~Job() {
    Pool& p = pool();
    if (_ownsDescriptor && _dir.isOpen())
        p.descriptors.fetch_sub(1, std::memory_order_relaxed);
    if (_counted)
        untake(_names.size());
}

TFFolderStamp TFReadAhead::Job::childStamp(size_t i) const {
    auto at = std::lower_bound(_childStamps.begin(), _childStamps.end(), i,
                               [](const auto& s, size_t index) { return s.first < index; });
    return at != _childStamps.end() && at->first == i ? at->second : TFFolderStamp();
}

bool TFReadAhead::listSorted(const TFDirectory& dir, const Examination& ex,
                             TFTreeWalker::Listing& out) {
    if (!TFTreeWalker::list(dir, ex, out))
        return false;
    sortNames(out);
    return true;
}

TFReadAhead::JobRef TFReadAhead::makeJob(TFDirectory dir, const Examination& ex,
                                         TFTreeWalker::Listing names) {
    JobRef job = _newJob();
    job->_ex = ex;
    job->_dir = std::move(dir);
    job->_names = std::move(names);
    return job;
}

void TFReadAhead::_drop(Job& job) {
    // Under the pool's lock: nobody reads it now, and whoever takes it
    // reads it where it is taken (or falls back).
    job._state = Job::State::dropped;
    if (job._ownsDescriptor && job._dir.isOpen())
        pool().descriptors.fetch_sub(1, std::memory_order_relaxed);
    job._ownsDescriptor = false;
    job._dir = TFDirectory();
    job._parent = nullptr;
}

void TFReadAhead::_read(const JobRef& ref, bool queueBelow, Place place) {
    Job& job = *ref;
    Pool& p = pool();
    if (job._parent) {
        // Listed by its parent's read, perhaps long ago: still the folder
        // there (not moved, nor replaced by a link or another folder)? Yes
        // when nothing in the parent changed since its listing, which asks
        // no look-up of the name.
        const Job::Parent& parent = *job._parent;
        if (!job._dir.isOpen()) {
            job._dir = TFTreeWalker::openChecked(parent.dir, job._name.c_str(), job._ex);
            if (!job._dir.isOpen())
                job._error = job._dir.error() ? job._dir.error() : ESTALE;
        } else if (!parent.stamp.unchangedAt(TFFolderStamp::of(parent.dir))) {
            const Examination now = parent.dir.examine(job._name.c_str());
            if (now.error || !now.isDirectory() || now.device != job._ex.device ||
                now.inode != job._ex.inode)
                job._error = now.error && now.error != ENOENT ? now.error : ESTALE;
        }
        job._parent = nullptr;
    } else if (!job._dir.isOpen()) {
        job._error = ESTALE;
    }
    if (job._error) {
        if (job._ownsDescriptor && job._dir.isOpen())
            p.descriptors.fetch_sub(1, std::memory_order_relaxed);
        job._ownsDescriptor = false;
        job._dir = TFDirectory();
        return;
    }
    const TFDirectory* dir = &job._dir; // moves to shared with the first job below
    const TFFolderStamp::Clock examinedAfter = TFFolderStamp::clock();
    TFTreeWalker::examineAll(*dir, job._names);
    std::shared_ptr<Job::Parent> shared; // this folder, for the jobs below
    job._childStamps.reserve(job._names.folders);
    // Subfolders that look huge by their size are listed last, once the
    // others are queued: the workers read those meanwhile, not what comes
    // after this folder.
    std::vector<uint32_t> last;
    auto subfolder = [&](size_t i) {
        const Examination& e = job._names.entries[i];
        auto failed = [&](int error) {
            if (error == ENOENT || error == ENOTDIR || error == ELOOP) {
                // Gone, or swapped for something else, since it was
                // examined: no failure, but its place is to be read again.
                job._childStamps.emplace_back(uint32_t(i), TFFolderStamp::lost());
                return;
            }
            if (job._childErrors.empty())
                job._childErrors.resize(job._names.size());
            job._childErrors[i] = error;
        };
        TFDirectory child = dir->openChild(job._names.name(i));
        if (!child.isOpen()) {
            failed(child.error()); // counted as a folder with no names
            return;
        }
        // Taken before the listing (by its examination): a change during
        // it shows later.
        const TFFolderStamp stamp = TFFolderStamp::of(e, examinedAfter);
        JobRef below = _newJob();
        errno = 0;
        if (!listSorted(child, e, below->_names)) {
            failed(errno ? errno : EIO);
            return;
        }
        job._childStamps.emplace_back(uint32_t(i), stamp);
        if (below->_names.size() == 0)
            return; // nothing to read below
        if (job._children.empty())
            job._children.resize(job._names.size());
        below->_name = job._names.name(i);
        below->_ex = e;
        below->_stamp = TFFolderStamp::settled(e, examinedAfter);
        if (!shared) {
            // The descriptor moves to the jobs below; it closes with the last.
            if (job._ownsDescriptor)
                p.descriptors.fetch_sub(1, std::memory_order_relaxed);
            job._ownsDescriptor = false;
            shared = std::make_shared<Job::Parent>(Job::Parent{std::move(job._dir), job._stamp});
            dir = &shared->dir;
        }
        below->_parent = shared;
        if (p.descriptors.load(std::memory_order_relaxed) < kDescriptorBudget) {
            below->_dir = std::move(child);
            below->_ownsDescriptor = true;
            p.descriptors.fetch_add(1, std::memory_order_relaxed);
        }
        job._children[i] = std::move(below);
    };
    auto queue = [&](size_t from) {
        std::vector<JobRef> jobs;
        for (size_t i = job._children.size(); i-- > from;)
            // One queued already may be read by now: only its flag is looked at.
            if (job._children[i] && !job._children[i]->_queued &&
                job._children[i]->_names.size() <= kLargestReadAhead) {
                job._children[i]->_queued = true;
                jobs.push_back(job._children[i]);
            }
        _queue(jobs, place);
    };
    for (size_t i = 0; i < job._names.size(); ++i) {
        const Examination& e = job._names.entries[i];
        if (e.error || !e.isDirectory() || e.device != job._ex.device)
            continue;
        if (e.apparentSize >= kListedLast)
            last.push_back(uint32_t(i));
        else
            subfolder(i);
    }
    if (!last.empty()) {
        if (queueBelow && !job._children.empty())
            queue(0);
        for (uint32_t i : last)
            subfolder(i);
        std::sort(job._childStamps.begin(), job._childStamps.end(),
                  [](const auto& x, const auto& y) { return x.first < y.first; });
        place = Place(); // what was queued since may come after these
    }
    if (job._dir.isOpen()) {
        if (job._ownsDescriptor)
            p.descriptors.fetch_sub(1, std::memory_order_relaxed);
        job._ownsDescriptor = false;
        job._dir = TFDirectory();
    }
    if (queueBelow && !job._children.empty())
        queue(0);
}

bool TFReadAhead::_nextMayBeRead() {
    // Under the pool's lock.
    const Pool& p = pool();
    return !p.held && !p.stack.empty() && p.unTaken.load(std::memory_order_relaxed) < kReadBudget &&
           p.unTakenNames.load(std::memory_order_relaxed) < kReadNamesBudget &&
           (!p.stack.back()->_spinning || p.countGiven ||
            p.spinningBusy < kSpinningWorkers * (p.diskBound ? 2 : 1));
}

void TFReadAhead::_readAhead(Job& job) {
    // Under the pool's lock.
    Pool& p = pool();
    job._state = Job::State::done;
    job._counted = true;
    p.unTaken.fetch_add(1, std::memory_order_relaxed);
    p.unTakenNames.fetch_add(job._names.size(), std::memory_order_relaxed);
    ++p.readByWorkers;
    p.read.notify_all();
}

void TFReadAhead::_queue(std::vector<JobRef>& jobs, Place place) {
    Pool& p = pool();
    std::vector<JobRef> dropped; // let go of outside the lock
    for (JobRef& job : jobs)
        job->_spinning = TFRotationalDisk::isRotational(job->_ex.device);
    bool diskBound = false;
    {
        std::scoped_lock lock(p.lock);
        if (!_startWorkers())
            return;
        const bool placed =
            place.index <= p.stack.size() &&
            (place.index == 0 ? !place.under : p.stack[place.index - 1].get() == place.under);
        if (placed)
            p.stack.insert(p.stack.begin() + std::ptrdiff_t(place.index),
                           std::make_move_iterator(jobs.begin()),
                           std::make_move_iterator(jobs.end()));
        else
            for (JobRef& job : jobs)
                p.stack.push_back(std::move(job));
        if (p.stack.size() > kQueuedBudget) {
            const auto excess = std::ptrdiff_t(p.stack.size() - kQueuedBudget);
            for (auto it = p.stack.begin(); it != p.stack.begin() + excess; ++it)
                if ((*it)->_state == Job::State::queued)
                    _drop(**it);
            dropped.assign(std::make_move_iterator(p.stack.begin()),
                           std::make_move_iterator(p.stack.begin() + excess));
            p.stack.erase(p.stack.begin(), p.stack.begin() + excess);
        }
        diskBound = p.diskBound;
    }
    jobs.clear();
    p.work.notify_all();
    if (diskBound)
        p.extraWork.notify_all();
}

bool TFReadAhead::_startWorkers() {
    // Under the pool's lock.
    Pool& p = pool();
    if (p.workers < 0)
        p.workers = defaultWorkers(p);
    if (p.workers == 0 || p.started)
        return p.workers > 0;
    p.started = true;
    if (p.countGiven)
        p.extra = 0;
    for (int i = 0; i < p.workers; ++i)
        std::thread(_work, false).detach();
    return true;
}

void TFReadAhead::_startExtraWorkers() {
    // Under the pool's lock. Started the first time the disk is waited
    // on: a warm tree never needs them, nor the memory of their threads.
    Pool& p = pool();
    if (p.extraStarted)
        return;
    p.extraStarted = true;
    for (int i = 0; i < p.extra; ++i) {
        try {
            std::thread(_work, true).detach();
        } catch (const std::system_error&) {
            p.extra = i; // no more threads to be had
            break;
        }
    }
}

TFReadAhead::Pieces::Pieces(size_t count, std::function<void(size_t)> piece)
    : _state(std::make_shared<State>()) {
    _state->piece = std::move(piece);
    _state->count = count;
    if (count < 2)
        return; // done where it is finished
    Pool& p = pool();
    {
        std::scoped_lock lock(p.lock);
        if (!_startWorkers())
            return;
        p.pieces.push_back(_state);
    }
    p.work.notify_all();
}

void TFReadAhead::Pieces::finish() {
    if (!_state)
        return;
    State& s = *_state;
    Pool& p = pool();
    std::unique_lock lock(p.lock);
    while (s.next < s.count) {
        const size_t i = s.next++;
        if (s.next == s.count)
            std::erase(p.pieces, _state);
        lock.unlock();
        s.piece(i);
        lock.lock();
        ++s.done;
    }
    p.read.wait(lock, [&] { return s.done == s.count; });
    lock.unlock();
    _state = nullptr;
}

void TFReadAhead::_work(bool extra) {
    Pool& p = pool();
    uint64_t reads = 0;
    _ownReturned = new Job::Returned; // never freed: jobs may return to it until exit
    _ownReturned->wakes = extra ? &p.extraWork : &p.work;
    auto freeReturned = [] {
        for (Job* job = _ownReturned->first.exchange(nullptr, std::memory_order_acquire); job;) {
            Job* next = job->_nextReturned;
            delete job;
            job = next;
        }
    };
    std::unique_lock lock(p.lock);
    for (;;) {
        if (_ownReturned->first.load(std::memory_order_relaxed)) {
            lock.unlock();
            freeReturned();
            lock.lock();
        }
        // A job let go elsewhere frees the read budget without the lock,
        // so the wait also looks again now and then. The extra workers
        // wait apart, so that a warm tree's wake-ups do not wake them.
        _ownReturned->waiting = true;
        const bool ready =
            (extra ? p.extraWork : p.work).wait_for(lock, std::chrono::milliseconds(20), [&] {
                return _ownReturned->first.load() || (!extra && !p.pieces.empty()) ||
                       ((!extra || p.diskBound) &&
                        p.busy < p.workers + (p.diskBound ? p.extra : 0) && _nextMayBeRead());
            });
        _ownReturned->waiting = false;
        if (!ready || _ownReturned->first.load(std::memory_order_relaxed))
            continue; // its returns are freed first
        if (!extra && !p.pieces.empty()) {
            std::shared_ptr<Pieces::State> pieces = p.pieces.front();
            const size_t i = pieces->next++;
            if (pieces->next == pieces->count)
                p.pieces.pop_front();
            ++p.busy;
            lock.unlock();
            pieces->piece(i);
            lock.lock();
            --p.busy;
            if (++pieces->done == pieces->count)
                p.read.notify_all();
            continue;
        }
        JobRef job = std::move(p.stack.back());
        p.stack.pop_back();
        if (job->_state != Job::State::queued) {
            lock.unlock();
            job.reset();
            lock.lock();
            continue;
        }
        job->_state = Job::State::reading;
        job->_returnTo = _ownReturned;
        const bool spinning = job->_spinning;
        ++p.busy;
        p.spinningBusy += spinning;
        // Whether reads block is asked (two system calls) only where extra
        // workers would start: of every read at first and while the last
        // ones blocked, else of one in four.
        ++reads;
        const bool watched = p.extra > 0 && (reads < 64 || reads % 4 == 0 || p.recentBlocks > 1024);
        lock.unlock();
        const Waits before = watched ? Waits::now() : Waits();
        const auto began = std::chrono::steady_clock::now();
        _read(job, true, Place());
        long blocked = 0;
        if (watched) {
            // Each time the thread gave up its core counts when the read
            // also spent some 50 microseconds off it for each: the disk
            // takes that long, a lock far less.
            const Waits after = Waits::now();
            const int64_t took = std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now() - began)
                                     .count();
            blocked =
                std::min<long>(after.given - before.given,
                               long(std::max<int64_t>(took - (after.ran - before.ran), 0) / 50));
        }
        lock.lock();
        // While a read blocks once in four or more (on a warm tree once
        // in fifty at most; on a cold disk once or twice a read), the
        // extra workers read beside them (two readers a core in all), and
        // twice as many at once on a spinning disk: a cold disk answers
        // many requests at once sooner than one a core. Over the last few
        // dozen reads asked.
        if (watched) {
            p.recentBlocks =
                p.recentBlocks - p.recentBlocks / 32 + std::clamp(blocked, 0L, 8L) * 1024;
            const bool waited = p.recentBlocks > 32 * 1024 / 4;
            if (waited && !p.diskBound) {
                _startExtraWorkers();
                p.extraWork.notify_all();
            }
            p.diskBound = waited;
        }
        --p.busy;
        p.spinningBusy -= spinning;
        if (spinning)
            p.work.notify_one(); // another spinning job may wait for this one
        _readAhead(*job);
        lock.unlock();
        job.reset();
        lock.lock();
    }
}

void TFReadAhead::take(const JobRef& job, bool queueBelow) {
    Pool& p = pool();
    {
        std::unique_lock lock(p.lock);
        // Rather than sleep while a worker reads it, read the next job
        // waiting (as a worker would): one thread a core keeps every core
        // busy then, without handing the cores back and forth. Not while
        // the disk is waited on, where one read may take long.
        while (job->_state == Job::State::reading && !p.diskBound && _nextMayBeRead()) {
            // Its subfolders go where it was, under what was queued since:
            // that comes first in the tree's order (it is of the folders
            // being read as it was taken), and on top the workers would
            // read them before it, and run their budget out on them.
            Place place;
            place.index = p.stack.size() - 1;
            place.under = place.index > 0 ? p.stack[place.index - 1].get() : nullptr;
            JobRef other = std::move(p.stack.back());
            p.stack.pop_back();
            const bool queued = other->_state == Job::State::queued;
            if (queued)
                other->_state = Job::State::reading;
            const bool spinning = queued && other->_spinning;
            p.helping += queued;
            p.spinningBusy += spinning;
            lock.unlock();
            bool read = true;
            if (queued) {
                try {
                    _read(other, true, place);
                } catch (const std::bad_alloc&) {
                    read = false; // its taker reads it again, as a dropped one
                }
            }
            lock.lock();
            if (queued) {
                p.helping -= 1;
                p.spinningBusy -= spinning;
                if (read) {
                    _readAhead(*other);
                } else {
                    _drop(*other);
                    p.read.notify_all(); // the idle wait counts the helping
                }
            }
            lock.unlock();
            other.reset();
            lock.lock();
            if (!read)
                break;
        }
        if (job->_state == Job::State::reading)
            p.read.wait(lock, [&] { return job->_state == Job::State::done; });
        if (job->_state == Job::State::done) {
            if (job->_counted) {
                job->_counted = false;
                untake(job->_names.size());
            }
            return;
        }
        // Queued, dropped or new: read here, now.
        job->_state = Job::State::reading;
    }
    _read(job, queueBelow, Place());
    std::scoped_lock lock(p.lock);
    job->_state = Job::State::done;
    p.read.notify_all();
}

void TFReadAhead::stop() {
    Pool& p = pool();
    std::vector<JobRef> dropped; // let go of outside the lock
    {
        std::scoped_lock lock(p.lock);
        for (JobRef& job : p.stack)
            if (job->_state == Job::State::queued)
                _drop(*job);
        dropped.swap(p.stack);
    }
}

void TFReadAhead::setWorkerCount(int count) {
    std::scoped_lock lock(pool().lock);
    pool().workers = count;
    pool().countGiven = true;
}

int TFReadAhead::workerCount() {
    Pool& p = pool();
    std::scoped_lock lock(p.lock);
    if (p.workers < 0)
        p.workers = defaultWorkers(p);
    return p.workers;
}

int TFReadAhead::workerCountOn(uint64_t device) {
    const bool spinning = TFRotationalDisk::isRotational(device);
    Pool& p = pool();
    std::scoped_lock lock(p.lock);
    if (p.workers < 0)
        p.workers = defaultWorkers(p);
    return spinning && !p.countGiven ? std::min(p.workers, kSpinningWorkers) : p.workers;
}

bool TFReadAhead::isIdle() {
    Pool& p = pool();
    std::scoped_lock lock(p.lock);
    return p.busy == 0 && p.helping == 0 && p.stack.empty();
}

uint64_t TFReadAhead::waitUntilIdleForTesting() {
    Pool& p = pool();
    std::unique_lock lock(p.lock);
    p.read.wait(lock, [&] { return p.busy == 0 && p.helping == 0 && (p.stack.empty() || p.held); });
    return p.readByWorkers;
}

void TFReadAhead::holdWorkersForTesting(bool hold) {
    {
        std::scoped_lock lock(pool().lock);
        pool().held = hold;
    }
    pool().work.notify_all();
}
