#include "model/HLNTrashMover.h"

#include "model/HLNRefreshRequests.h"
#include "toolkit/TFMainThread.h"
#include "toolkit/TFTrash.h"

#include <system_error>
#include <thread>

void HLNTrashMover::moveToTrash(std::vector<Ref<HLNFile>> files, Completion done) {
    std::vector<Ref<HLNFile>> marked;
    for (Ref<HLNFile>& file : files)
        if (file && file->_beginTrashing())
            marked.push_back(std::move(file));
    if (!marked.empty())
        HLNRefreshRequests::updateUI();
    auto body = [marked, done]() mutable { _detachedMove(std::move(marked), std::move(done)); };
    try {
        std::thread(std::move(body)).detach();
    } catch (const std::system_error&) {
        _detachedMove(std::move(marked), std::move(done)); // no thread to be had: move here
    }
}

void HLNTrashMover::_detachedMove(std::vector<Ref<HLNFile>> files, Completion done) {
    std::vector<Failure> notMoved;
    std::vector<Moved> moved;
    for (const Ref<HLNFile>& file : files) {
        const std::string path = file->path();
        if (path.empty()) { // cut since it was marked: its window is gone
            file->_endTrashing();
            continue;
        }
        TFTrash::Outcome outcome = TFTrash::moveToTrash(path);
        // Re-read whatever happened: an entry that is not there any more
        // leaves the tree, one left in place is counted anew.
        if (!outcome.moved && !outcome.vanished)
            notMoved.push_back({file, std::move(outcome.reason)});
        if (outcome.moved)
            moved.push_back({path, outcome.trashFolder, outcome.trashedName});
        Ref<HLNFile> trash = outcome.trashFolder.empty()
                                 ? Ref<HLNFile>()
                                 : nodeInTreeForPath(file, outcome.trashFolder);
        // Still going until the main thread hands it to the re-read, so no
        // window shows a moved entry as an ordinary one meanwhile.
        TFMainThread::perform([file, trash] {
            file->_endTrashing();
            file->refreshSize();
            if (trash)
                trash->refreshSize();
        });
    }
    TFMainThread::perform([notMoved = std::move(notMoved), moved = std::move(moved),
                           done = std::move(done)]() mutable {
        if (done)
            done(std::move(notMoved), std::move(moved));
    });
}

Ref<HLNFile> HLNTrashMover::nodeInTreeForPath(const Ref<HLNFile>& file, const std::string& path,
                                              HLNFile::Asker asker) {
    Ref<HLNFile> root = file;
    while (Ref<HLNFile> up = root->parent())
        root = up;
    const std::string rootPath = root->path();
    if (rootPath.empty())
        return nullptr;
    if (path == rootPath)
        return root;
    const std::string prefix = rootPath == "/" ? rootPath : rootPath + "/";
    if (path.compare(0, prefix.size(), prefix) != 0)
        return nullptr;

    Ref<HLNFile> node = root;
    size_t start = prefix.size();
    while (start < path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos)
            slash = path.size();
        const std::string_view name(path.data() + start, slash - start);
        start = slash + 1;
        if (name.empty())
            continue;
        Ref<HLNFile> next;
        if (HLNFile::ChildList children = node->children(asker))
            for (const Ref<HLNFile>& c : *children)
                if (c->nameView() == name) {
                    next = c;
                    break;
                }
        if (!next)
            break;
        node = std::move(next);
    }
    return node;
}
