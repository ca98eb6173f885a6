#pragma once

// Reports fatal signals (SIGSEGV, SIGABRT, SIGFPE, SIGBUS, SIGILL, SIGTRAP): writes "Tavrin_crash.txt" with
// a symbolised backtrace to $XDG_RUNTIME_DIR (else the temporary directory), starts a separate notice
// process unless silent, then lets the signal's default action end the process.
class CrashHandler {
public:
    // Prepares everything the handler needs (paths, texts, symbol table) and installs it, with an alternate
    // signal stack so that a stack overflow is reported too. Call early in main, on the main thread.
    // A second call does nothing.
    static void install();

    // Silent: write the report but start no notice process (self-test mode). May be called at any time.
    static void set_silent(bool silent);

    // Where the report goes; empty before install().
    static const char* report_path();

    // Body of the notice process ("--crash-notice=<report path>"): a small window saying that Tavrin stopped
    // and where the report is, or the same message on stderr when there is no display. Returns 0.
    static int run_notice(const char* report_path);
};
