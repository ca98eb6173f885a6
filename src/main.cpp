#include "ui/app.h"
#include "ui/crash_handler.h"

#include <clocale>
#include <cstring>

int main(int argc, char** argv) {
    // The crash notice is a separate process started by the crash handler of a dying instance.
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], "--crash-notice=", 15) == 0) return CrashHandler::run_notice(argv[i] + 15);
    }
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], "--action=", 9) == 0) {
            CrashHandler::set_silent(true);
            break;
        }
    }
    CrashHandler::install();
    setlocale(LC_ALL, "");
    setlocale(LC_NUMERIC, "C");
    App app;
    return app.run(argc, argv);
}
