// cliOptions: albrivo-cli's arguments, usage and help (see cliOptions.h).
#include "app/cliOptions.h"

#include "app/commonDefine.h"
#include "platform/rtl/SysUtils.h"

#ifndef ALBRIVO_VERSION
#error "ALBRIVO_VERSION is defined by the build (CMake's project version)"
#endif

const char* CliUsage() {
    return "usage: albrivo-cli [--music] [--dir DIR] [--site HOST:PORT] [--jobs N] [--timeout SECONDS]\n"
           "                   [--quiet] [--help] [--version] PAGE_URL\n";
}

std::string CliHelp() {
    return std::string(CliUsage()) +
           "\n"
           "Downloads every photo of the album whose page is PAGE_URL (an http:// address) into a\n"
           "folder named after the album: 0.jpg, 1.jpg, ...\n"
           "\n"
           "options:\n"
           "  --music            also save the album's background music as background.mp3\n"
           "  --dir DIR          make the album folder inside DIR (default: beside the program\n"
           "                     when its folder is writable, else the current folder)\n"
           "  --site HOST:PORT   the site every address of the program lies on (default " +
           std::string(DefaultSiteHost) +
           ")\n"
           "  --jobs N           connections, so photos arriving at once, 1 to 16 (default 4;\n"
           "                     1: one at a time, in album order); each asks for the photos\n"
           "                     that follow on it ahead\n"
           "  --timeout SECONDS  give up a transfer after this long without a byte (default 30)\n"
           "  --quiet            print only errors and the summary line\n"
           "  --help             print this help and exit\n"
           "  --version          print the version and exit\n"
           "\n"
           "On a terminal the progress is one line (photo i of n, bytes, rate); otherwise every\n"
           "status text is a line of its own. Ctrl-C or SIGTERM stops the run.\n"
           "\n"
           "exit status: 0 every photo saved, 1 some failed or the run was stopped, 2 the run\n"
           "could not be done (bad arguments, page or album information not fetched).\n";
}

std::string CliVersion() { return std::string("albrivo-cli ") + ALBRIVO_VERSION; }

bool ParseCliArguments(const std::vector<std::string>& Args, TCliOptions& o, std::string& error) {
    for (size_t i = 0; i < Args.size(); i++) {
        const std::string& a = Args[i];
        if (a == "--music") {
            o.Music = true;
        } else if (a == "--quiet") {
            o.Quiet = true;
        } else if (a == "--help") {
            o.Help = true;
        } else if (a == "--version") {
            o.Version = true;
        } else if (a == "--dir" || a == "--site" || a == "--jobs" || a == "--timeout") {
            if (i + 1 >= Args.size()) {
                error = a + " needs a value";
                return false;
            }
            const std::string& v = Args[++i];
            if (a == "--dir") {
                o.Dir = v;
            } else if (a == "--site") {
                o.Site = v;
            } else if (a == "--jobs" && !ReadBoundedNumber(v, 1, MaxCliJobs, o.Jobs)) {
                error = "--jobs takes a number from 1 to " + IntToStr(MaxCliJobs) + ": " + v;
                return false;
            } else if (a == "--timeout" && !ReadBoundedNumber(v, 1, MaxCliTimeoutSeconds, o.TimeoutSeconds)) {
                error = "--timeout takes seconds from 1 to " + IntToStr(MaxCliTimeoutSeconds) + ": " + v;
                return false;
            }
        } else if (!a.empty() && a[0] == '-') {
            error = "unknown argument: " + a;
            return false;
        } else if (o.PageUrl.empty()) {
            o.PageUrl = a;
        } else {
            error = "only one page address, please: " + a;
            return false;
        }
    }
    if (o.Help || o.Version) return true;
    if (o.PageUrl.empty()) {
        error = "the album page address is missing";
        return false;
    }
    // The site is only checked here; the caller applies it.
    if (!o.Site.empty() && !IsSiteHost(o.Site)) {
        error = "--site: not HOST:PORT: " + o.Site;
        return false;
    }
    return true;
}
