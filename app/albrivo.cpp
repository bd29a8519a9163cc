// albrivo: the program entry. Chooses the window backend (FLTK, or headless with
// --headless), then runs the start-up sequence of program.h.
#include "app/program.h"
#include "ui/forms/FltkBackend.h"

#include <cstdio>

int main(int argc, char** argv) {
    TProgramOptions options;
    std::string error;
    if (!ParseArguments(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        std::fprintf(stderr, "albrivo: %s\nusage: albrivo [--site HOST:PORT] [--headless] [--smoke [MS]]\n",
                     error.c_str());
        return 2;
    }
    if (!options.Headless && !UseFltkBackend(error)) {
        std::fprintf(stderr, "albrivo: %s (use --headless to run without a window)\n", error.c_str());
        return 1;
    }
    return RunProgram(options);
}
