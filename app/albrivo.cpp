// albrivo: the program entry. Reads the command line (program.h), answers --help and
// --version, chooses the window backend (FLTK, or headless with --headless), then runs
// the start-up sequence of program.h.
//
// Exit code: 0 after the main window closed (and after --help, --version), 1 when no
// window can be opened, 2 for a command line it does not take; errors go to standard
// error as "albrivo: reason" followed by the usage line.
#include "app/program.h"
#include "ui/forms/FltkBackend.h"

#include <cstdio>

namespace {

// Prints Text on standard output; false when it could not be written (a closed pipe, a
// full disk), which a caller must not report as success.
bool PrintOut(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    return std::fflush(stdout) == 0 && !std::ferror(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    TProgramOptions options;
    std::string error;
    if (!ParseArguments(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        std::fprintf(stderr, "albrivo: %s\n%s", error.c_str(), ProgramUsage());
        return 2;
    }
    if (options.Help || options.Version) {
        if (PrintOut(options.Help ? ProgramHelp() : ProgramVersion() + "\n")) return 0;
        std::fprintf(stderr, "albrivo: cannot write to standard output\n");
        return 1;
    }
    if (!options.Headless && !UseFltkBackend(error)) {
        std::fprintf(stderr, "albrivo: %s (use --headless to run without a window)\n", error.c_str());
        return 1;
    }
    return RunProgram(options);
}
