#include "support/TrashHome.h"

#include <cstdlib>
#include <ftw.h>
#include <stdexcept>
#include <vector>

namespace {

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
    ::remove(path);
    return 0;
}

void removeTree(const std::string& path) {
    ::nftw(path.c_str(), removeEntry, 64, FTW_DEPTH | FTW_PHYS);
}

} // namespace

namespace TrashHome {

const std::string& path() {
    // Never destroyed: the removal at exit runs after the destructors of
    // statics made after it was registered, this one's among them.
    static const std::string& home = *[] {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/hollin-home-XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (!::mkdtemp(buf.data()))
            throw std::runtime_error("mkdtemp failed");
        auto* made = new std::string(buf.data());
        ::setenv("HOME", made->c_str(), 1);
        ::setenv("XDG_DATA_HOME", (*made + "/.local/share").c_str(), 1);
        std::atexit([] { removeTree(path()); });
        return made;
    }();
    return home;
}

std::string trash() {
    return path() + "/.local/share/Trash";
}

void empty() {
    removeTree(trash());
}

} // namespace TrashHome
