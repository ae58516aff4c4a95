#pragma once

#include <string>

// Writes a crash report when the program dies of a fatal signal (SIGSEGV,
// SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS), then lets the signal
// kill the process as it would have without us (same signal, core dump
// rules unchanged). Reports go to $XDG_STATE_HOME/hollin/crashes/ (default
// ~/.local/state/hollin/crashes/), one file per crash named
// crash-<seconds since 1970>-<pid>.txt, holding the version, the signal,
// the faulting address, the report address and a backtrace.
class TCCCrashCatcher {
public:
    // The address printed in the report for the user to send it to.
    static void setCrashEmailAddress(const std::string& address);
    // Installs the handlers; call early, on the main thread, before other
    // threads start. Everything the handler needs is prepared here, so the
    // handler itself only makes async-signal-safe calls.
    static void enableCrashCatching();
    // The folder reports are written to (empty before enableCrashCatching).
    static std::string crashReportDirectory();
};
