// albrivo: the program entry. Reads the command line (program.h), answers --help and
// --version, chooses the window backend (FLTK, or headless with --headless), then runs
// the start-up sequence of program.h.
//
// Exit code: 0 after the main window closed (and after --help, --version), 1 when no
// window can be opened or standard output could not be written, 2 for a command line it
// does not take; errors go to standard error as "albrivo: reason" followed by the usage
// line.
#include "app/program.h"
#include "platform/rtl/CommandLine.h"
#include "ui/forms/FltkBackend.h"

#include <cstdio>

namespace {

// Everything but the closing of standard output; the exit code.
int Run(const std::vector<std::string>& args) {
    TProgramOptions options;
    std::string error;
    if (!ParseArguments(args, options, error)) {
        std::fprintf(stderr, "albrivo: %s\n%s", error.c_str(), ProgramUsage());
        return 2;
    }
    if (options.Help || options.Version) {
        // A write that fails shows when standard output is closed (main).
        std::fputs((options.Help ? ProgramHelp() : ProgramVersion() + "\n").c_str(), stdout);
        return 0;
    }
    if (!options.Headless && !UseFltkBackend(error)) {
        std::fprintf(stderr, "albrivo: %s (use --headless to run without a window)\n", error.c_str());
        return 1;
    }
    return RunProgram(options);
}

}  // namespace

int main(int argc, char** argv) {
    const int code = Run(std::vector<std::string>(argv + 1, argv + argc));
    return CloseStandardOutput("albrivo", code);
}
