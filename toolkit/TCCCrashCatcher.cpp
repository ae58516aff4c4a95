#include "toolkit/TCCCrashCatcher.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <execinfo.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Filled by enableCrashCatching, read (never written) by the handler.
char gDirectory[4096];
char gEmail[256];
bool gEnabled = false;
alignas(16) char gAlternateStack[1 << 16];

const int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS};

const char* signalName(int sig) {
    switch (sig) {
    case SIGSEGV:
        return "SIGSEGV";
    case SIGBUS:
        return "SIGBUS";
    case SIGILL:
        return "SIGILL";
    case SIGFPE:
        return "SIGFPE";
    case SIGABRT:
        return "SIGABRT";
    case SIGTRAP:
        return "SIGTRAP";
    case SIGSYS:
        return "SIGSYS";
    }
    return "signal";
}

// Async-signal-safe text building: no allocation, no locale, no stdio.
struct Text {
    char buffer[8192];
    size_t length = 0;
    void add(const char* s) {
        while (*s && length + 1 < sizeof buffer)
            buffer[length++] = *s++;
        buffer[length] = '\0';
    }
    void addNumber(unsigned long long value, unsigned base = 10) {
        char digits[32];
        int n = 0;
        do {
            digits[n++] = "0123456789abcdef"[value % base];
            value /= base;
        } while (value);
        char out[34];
        int k = 0;
        if (base == 16) {
            out[k++] = '0';
            out[k++] = 'x';
        }
        while (n)
            out[k++] = digits[--n];
        out[k] = '\0';
        add(out);
    }
};

void writeAll(int fd, const char* data, size_t length) {
    while (length) {
        ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        data += n;
        length -= static_cast<size_t>(n);
    }
}

void crashHandler(int sig, siginfo_t* info, void*) {
    int savedErrno = errno;
    Text path;
    path.add(gDirectory);
    path.add("/crash-");
    path.addNumber(static_cast<unsigned long long>(::time(nullptr)));
    path.add("-");
    path.addNumber(static_cast<unsigned long long>(::getpid()));
    path.add(".txt");
    int fd =
        gDirectory[0] ? ::open(path.buffer, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600) : -1;

    Text report;
    report.add("Hollin crash report\nversion: " HOLLIN_VERSION "\nsignal: ");
    report.addNumber(static_cast<unsigned>(sig));
    report.add(" (");
    report.add(signalName(sig));
    report.add(")\n");
    if (info && (sig == SIGSEGV || sig == SIGBUS || sig == SIGILL || sig == SIGFPE)) {
        report.add("address: ");
        report.addNumber(reinterpret_cast<unsigned long long>(info->si_addr), 16);
        report.add("\n");
    }
    report.add("pid: ");
    report.addNumber(static_cast<unsigned long long>(::getpid()));
    report.add("\n");
    if (gEmail[0]) {
        report.add("send this report to: ");
        report.add(gEmail);
        report.add("\n");
    }
    report.add("backtrace:\n");
    if (fd >= 0) {
        writeAll(fd, report.buffer, report.length);
        void* frames[128];
        int count = ::backtrace(frames, 128);
        ::backtrace_symbols_fd(frames, count, fd);
        ::close(fd);
    }

    Text note;
    note.add("hollin: crashed with ");
    note.add(signalName(sig));
    if (fd >= 0) {
        note.add("; report written to ");
        note.add(path.buffer);
    }
    note.add("\n");
    writeAll(STDERR_FILENO, note.buffer, note.length);

    // The handler was reset to the default on entry (SA_RESETHAND): the
    // signal raised again is delivered as soon as we return, and the
    // process dies of it as it would have without us.
    errno = savedErrno;
    ::raise(sig);
}

bool makeDirectories(const std::string& path) {
    for (size_t slash = 1; slash != std::string::npos; slash = path.find('/', slash + 1)) {
        std::string part = path.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

} // namespace

void TCCCrashCatcher::setCrashEmailAddress(const std::string& address) {
    std::strncpy(gEmail, address.c_str(), sizeof gEmail - 1);
}

void TCCCrashCatcher::enableCrashCatching() {
    std::string directory;
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    if (state && state[0] == '/')
        directory = std::string(state) + "/hollin/crashes";
    else if (home && home[0] == '/')
        directory = std::string(home) + "/.local/state/hollin/crashes";
    if (!directory.empty() && directory.size() < sizeof gDirectory - 64 &&
        makeDirectories(directory))
        std::strcpy(gDirectory, directory.c_str());
    else
        gDirectory[0] = '\0';

    // backtrace() loads its unwinder on first use, which allocates: do it
    // now rather than inside the handler.
    void* warmUp[4];
    ::backtrace(warmUp, 4);

    // Our own stack, so that a stack overflow can still be reported.
    stack_t stack{};
    stack.ss_sp = gAlternateStack;
    stack.ss_size = sizeof gAlternateStack;
    ::sigaltstack(&stack, nullptr);

    struct sigaction action {};
    action.sa_sigaction = crashHandler;
    action.sa_flags = SA_SIGINFO | SA_RESETHAND | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int sig : kSignals)
        ::sigaction(sig, &action, nullptr);
    gEnabled = true;
}

std::string TCCCrashCatcher::crashReportDirectory() {
    return gEnabled ? std::string(gDirectory) : std::string();
}
