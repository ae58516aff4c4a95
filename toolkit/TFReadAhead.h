#pragma once

#include "toolkit/TFDirectory.h"
#include "toolkit/TFFolderStamp.h"
#include "toolkit/TFTreeWalker.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

// Worker threads that read a tree's folders ahead of the one thread that
// builds the tree, so that every core lists and examines folders while that
// thread only turns finished reads into nodes. Each folder is read once.
//
// A job is one folder, opened (relative to its parent, never following a
// link) and listed already: reading it examines every name and lists each
// subfolder on the same file system, which become the jobs below it, read
// next by the workers (depth first, the first name first, as the tree is
// built). The thread that needs a folder takes its job: it reads the
// folder itself when no worker has started it, so a folder the user
// selected is never left waiting behind the workers' backlog; a job a
// worker is reading is waited for.
//
// Bounded: a few thousand folders and some tens of thousands of names read
// and not yet taken (the workers wait beyond), a few thousand waiting to be read
// (the oldest are dropped, and read by whoever takes them), a few hundred
// descriptors kept open.
class TFReadAhead {
public:
    using Examination = TFDirectory::Examination;
    // A folder of more names is not read ahead, only where it is taken:
    // its reads would take more memory than the nodes made of them.
    static constexpr size_t kLargestReadAhead = 8192;
    class Job;
    using JobRef = std::shared_ptr<Job>;

    class Job {
    public:
        // The folder's names, sorted as TFString::compareNamesThenBytes sorts them.
        const TFTreeWalker::Listing& names() const { return _names; }
        // Once taken: each name's examination, in names' order (empty when
        // the read failed).
        const std::vector<Examination>& entries() const { return _names.entries; }
        // Once taken, and once: by name index, the job of each subfolder on
        // the same file system that has names (its names are its listing);
        // null for the rest. Empty when there is none.
        std::vector<JobRef> takeChildren() { return std::move(_children); }
        // Once taken: why the subfolder at name index i could not be opened
        // or listed (0 when it was, or is gone or no longer a folder).
        int childError(size_t i) const { return i < _childErrors.size() ? _childErrors[i] : 0; }
        // Once taken: the stamp of the subfolder at name index i as it was
        // listed (TFFolderStamp::lost() when it went before its listing;
        // none when it was not listed).
        TFFolderStamp childStamp(size_t i) const;
        // Nonzero when the folder could not be read again (ESTALE: it was
        // replaced since it was listed; ELOOP or ENOTDIR: by a link).
        int error() const { return _error; }
        const Examination& examination() const { return _ex; }
        ~Job();

    private:
        friend class TFReadAhead;
        struct Return;
        struct Returned;
        enum class State : uint8_t { queued, reading, done, dropped };
        // A folder whose subfolders are read: open, and as it was listed.
        struct Parent {
            TFDirectory dir;
            TFFolderStamp stamp;
        };
        // Its parent folder, until it is read: to check that it is still
        // there, or to open it when it has no descriptor of its own.
        std::shared_ptr<const Parent> _parent;
        std::string _name;
        Examination _ex;
        TFFolderStamp _stamp; // settled, as its parent's read listed it (if it did)
        TFDirectory _dir;
        TFTreeWalker::Listing _names;
        std::vector<JobRef> _children; // by name index
        std::vector<int> _childErrors; // by name index, when there is one
        std::vector<std::pair<uint32_t, TFFolderStamp>> _childStamps; // by name index, rising
        // The worker that read it, which frees it (and what its read
        // allocated) when it is let go: from another thread, each block
        // would wait for the worker's allocator. Null: freed where let go.
        Returned* _returnTo = nullptr;
        Job* _nextReturned = nullptr;
        State _state = State::queued;
        bool _counted = false; // read by a worker and not yet taken
        bool _ownsDescriptor = false;
        bool _queued = false;   // given to the workers
        bool _spinning = false; // on a spinning disk (see workerCountOn)
        int _error = 0;
    };

    // Work split into pieces that the workers take before any folder, and
    // that the thread which needs it does itself when no worker has begun
    // them (all of them when there are no workers): a huge folder's names
    // examined on every core while its nodes are made. Begun when made;
    // finish() (or the destructor) returns once every piece is done. A
    // piece must not throw.
    class Pieces {
    public:
        Pieces(size_t count, std::function<void(size_t)> piece);
        Pieces(const Pieces&) = delete;
        Pieces& operator=(const Pieces&) = delete;
        ~Pieces() { finish(); }
        void finish();
        struct State;

    private:
        std::shared_ptr<State> _state;
    };

    // A job for the folder dir, examined as ex, with its names in the
    // order its reader wants the entries. Not yet queued: take() reads it.
    static JobRef makeJob(TFDirectory dir, const Examination& ex, TFTreeWalker::Listing names);
    // Reads names of dir sorted as jobs have them; false when the listing failed.
    static bool listSorted(const TFDirectory& dir, const Examination& ex,
                           TFTreeWalker::Listing& out);
    // Answers once job is read: here when no worker has started it, else
    // by the worker. queueBelow: the jobs of its subfolders go to the
    // workers, ahead of what they had (the thread building the tree);
    // otherwise they are only read when taken.
    static void take(const JobRef& job, bool queueBelow);
    // Drops every job waiting to be read (a job being read is finished).
    static void stop();

    // How many workers read beside the thread that takes the reads, which
    // reads the next waiting job itself rather than wait for one a worker
    // reads (default: one fewer than the online processors, at least one,
    // and twice the processors in all while their reads mostly wait for
    // the disk; at most two at once on a spinning disk, four while waited
    // on; HOLLIN_WORKERS or a count set here holds for every disk); 0
    // reads every job where it is taken. Before the first take.
    static void setWorkerCount(int count);
    static int workerCount();
    // How many read at once the folders of the file system on device.
    static int workerCountOn(uint64_t device);

    // Whether no job waits or is being read.
    static bool isIdle();
    // For tests: waits until no job waits or is being read, and answers
    // how many folders were read ahead (by the workers, or by a thread
    // waiting for one) since the program started.
    static uint64_t waitUntilIdleForTesting();
    // For tests: holds the workers (true) before they take their next job.
    static void holdWorkersForTesting(bool hold);

private:
    // A place in the waiting jobs: the index of one taken from there, and
    // the job that was under it (null at the bottom).
    struct Place {
        size_t index = SIZE_MAX; // none: on top
        const Job* under = nullptr;
    };
    static void _read(const JobRef& job, bool queueBelow, Place place);
    // Queues jobs on top, or at place while nothing under it was taken since.
    static void _queue(std::vector<JobRef>& jobs, Place place);
    static void _drop(Job& job);
    // Whether the next job waiting may be read now: the read budget and the
    // limit on a spinning disk allow it. Under the pool's lock.
    static bool _nextMayBeRead();
    // A job just read ahead is done and counted until taken. Under the pool's lock.
    static void _readAhead(Job& job);
    static void _work(bool extra);
    static JobRef _newJob();
    static thread_local Job::Returned* _ownReturned; // a worker's
    // Chooses the count and starts the workers, once; false when there are
    // none. Under the pool's lock.
    static bool _startWorkers();
    static void _startExtraWorkers();
};
