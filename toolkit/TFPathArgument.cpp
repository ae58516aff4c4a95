#include "toolkit/TFPathArgument.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

std::string workingFolder() {
    std::string cwd(4096, '\0');
    while (!::getcwd(cwd.data(), cwd.size())) {
        if (errno != ERANGE)
            return "";
        cwd.resize(cwd.size() * 2);
    }
    cwd.resize(std::strlen(cwd.c_str()));
    return cwd;
}

std::string joined(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder.back() == '/')
        return folder + name;
    return folder + "/" + name;
}

} // namespace

TFPathArgument::TFPathArgument(std::string given) : _given(std::move(given)), _path(_given) {
    while (_path.size() > 1 && _path.back() == '/')
        _path.pop_back();
    if (_path.empty()) {
        _examination.error = ENOENT;
        return;
    }
    _examination = TFDirectory::examinePath(_path);
    if (_path.size() == _given.size() || _examination.error)
        return;
    // A trailing slash means a folder, as to the kernel.
    if (_examination.isLink()) {
        _path += '/';
        _examination = TFDirectory::examinePath(_path); // through the link
    } else if (!_examination.isDirectory()) {
        _examination = TFDirectory::Examination();
        _examination.error = ENOTDIR;
    }
}

void TFPathArgument::report(const std::string& path, int error, FILE* to) {
    std::fputs("hollin: ", to);
    std::fwrite(path.data(), 1, path.size(), to); // the bytes as given
    std::fprintf(to, ": %s\n", std::strerror(error));
    std::fflush(to);
}

bool TFPathArgument::reportError(FILE* to) const {
    if (!error())
        return false;
    report(_given, error(), to);
    return true;
}

std::string TFPathArgument::absolutePath() const {
    if (_path.size() > 1 && _path.back() == '/')
        if (std::optional<std::string> real = TFDirectory::resolvedPathFollowingLinks(_path))
            return *real;
    std::string path = _path;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    if (path.empty() || path[0] == '/')
        return path;
    const std::string cwd = workingFolder();
    return cwd.empty() ? path : joined(cwd, path);
}

std::string TFPathArgument::kernelPath() const {
    if (error())
        return "";
    const std::string absolute = absolutePath();
    const size_t slash = absolute.rfind('/');
    if (absolute == "/" || slash == std::string::npos)
        return absolute;
    const std::string last = absolute.substr(slash + 1);
    if (last == "." || last == "..")
        return TFDirectory::resolvedPathFollowingLinks(absolute).value_or("");
    const std::optional<std::string> folder =
        TFDirectory::resolvedPathFollowingLinks(slash == 0 ? "/" : absolute.substr(0, slash));
    return folder ? joined(*folder, last) : "";
}
