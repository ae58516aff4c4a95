#include "model/HLNTreemapSnapshot.h"

#include "model/HLNFile.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <mutex>

HLNTreemapSnapshot HLNTreemapSnapshot::take(const Ref<HLNFile>& root, double minimumFraction,
                                            Classifier classify, double rootEntriesFraction,
                                            uint64_t childrenBudget) {
    HLNTreemapSnapshot s;
    if (!root)
        return s;
    HLNFile::TreeGuard held;
    if (!root->_hasPath(held))
        return s;
    // The areas are of the figure the windows show.
    const HLNFile::Figure shown = HLNFile::shownFigure();
    auto figure = [&](const HLNFile* node) {
        return HLNFile::figureOf(node->_counted(held), shown);
    };

    auto add = [&](HLNFile* node, uint32_t parent, std::string_view name) {
        Entry e;
        e.file = Ref<HLNFile>(node);
        e.bytes = figure(node);
        e.parent = parent;
        e.nameOffset = static_cast<uint32_t>(s._names.size());
        e.nameLength = static_cast<uint32_t>(name.size());
        e.status = node->_sizeStatus(held);
        e.isDirectory = node->_has(HLNFile::IsDirectory);
        e.isLink = node->_has(HLNFile::IsLink);
        e.isExecutable = node->_has(HLNFile::IsExecutable);
        s._names.append(name);
        s._entries.push_back(std::move(e));
    };
    std::string rootPath;
    root->_appendPath(rootPath, held);
    add(root.get(), none, rootPath);
    s._visited = 1;

    const uint64_t rootBytes = figure(root.get());
    // Kept: at least this many bytes, and never 0.
    auto bytesFor = [rootBytes](double fraction) {
        const double threshold =
            std::max(1.0, std::ceil(double(rootBytes) * std::max(0.0, fraction)));
        return threshold >= 1.8e19 ? UINT64_MAX : static_cast<uint64_t>(threshold);
    };
    const uint64_t deeper = bytesFor(minimumFraction);
    const uint64_t atRoot = rootEntriesFraction < 0 ? deeper : bytesFor(rootEntriesFraction);

    std::vector<HLNFile*> kept;
    for (uint32_t i = 0; i < s._entries.size(); ++i) {
        HLNFile* node = s._entries[i].file.get();
        const uint64_t minimum = i == 0 ? atRoot : deeper;
        if (!node->_children() || node->_has(HLNFile::ChildrenArrayContainsNames))
            continue;
        const HLNFile::List& list = *node->_children();
        kept.clear();
        std::array<uint64_t, 16> restBytes{};
        // Folders are reached level by level, each one's largest first: past the
        // budget, the rest are drawn whole, coloured from a few of their files, so that
        // millions of small files (a scan of them) cost the lock no more.
        const bool whole = i != 0 && s._visited + list.size() > childrenBudget;
        // The colour of what is left out is judged from a sample of at most
        // about 256 names per folder (4 of a folder drawn whole: a scan of
        // ten thousand such folders), so a huge folder costs no more lock time.
        const uint32_t stride = list.size() / (whole ? 4 : 256) + 1;
        s._visited += whole ? list.size() / stride : list.size();
        for (uint32_t index = 0; index < list.size(); index += whole ? stride : 1) {
            HLNFile* child = list[index].get();
            const uint64_t amount = figure(child);
            if (amount >= minimum && !whole)
                kept.push_back(child);
            else if (classify && index % stride == 0 && !child->_has(HLNFile::IsDirectory))
                restBytes[classify(child->nameView()) & 15] += amount;
        }
        if (classify) {
            auto most = std::max_element(restBytes.begin(), restBytes.end());
            s._entries[i].restKind = *most > 0 ? static_cast<uint8_t>(most - restBytes.begin()) : 0;
        }
        std::sort(kept.begin(), kept.end(), [&](HLNFile* a, HLNFile* b) {
            const uint64_t x = figure(a), y = figure(b);
            if (x != y)
                return x > y;
            return HLNFile::compareNames(a->nameView(), b->nameView()) < 0;
        });
        s._entries[i].firstChild = static_cast<uint32_t>(s._entries.size());
        s._entries[i].childCount = static_cast<uint32_t>(kept.size());
        for (HLNFile* child : kept)
            add(child, i, child->nameView());
    }
    return s;
}

std::string_view HLNTreemapSnapshot::nameOf(uint32_t index) const {
    const Entry& e = _entries[index];
    return std::string_view(_names).substr(e.nameOffset, e.nameLength);
}

std::string HLNTreemapSnapshot::pathOf(uint32_t index) const {
    std::vector<uint32_t> chain;
    for (uint32_t i = index; i != none; i = _entries[i].parent)
        chain.push_back(i);
    std::string path;
    for (size_t k = chain.size(); k-- > 0;) {
        if (k + 1 < chain.size() && (path.empty() || path.back() != '/'))
            path += '/';
        path += nameOf(chain[k]);
    }
    return path;
}

uint32_t HLNTreemapSnapshot::indexOf(const HLNFile* file) const {
    for (uint32_t i = 0; i < _entries.size(); ++i)
        if (_entries[i].file.get() == file)
            return i;
    return none;
}
