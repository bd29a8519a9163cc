// cliOptions: the command line of albrivo-cli.
//
//   albrivo-cli [--music] [--dir DIR] [--site HOST:PORT] [--jobs N] [--timeout SECONDS]
//               [--quiet] [--help] [--version] PAGE_URL
//
// ParseCliArguments reads the arguments into TCliOptions or says what is wrong with them;
// it applies nothing (the site, the folder), so it can be tested on its own.
#pragma once

#include <string>
#include <vector>

struct TCliOptions {
    bool Music = false;
    std::string Dir;       // the album folders go in here; empty: beside the program or here
    std::string Site;      // "HOST:PORT" of every address; empty: the default
    int Jobs = 4;          // photos in flight, 1 ... 16
    int TimeoutSeconds = 30;  // receive time-out of every transfer
    bool Quiet = false;    // only errors and the summary line
    bool Help = false;     // --help: print the help and exit 0
    bool Version = false;  // --version: print the version and exit 0
    std::string PageUrl;
};

constexpr int MaxCliJobs = 16;
constexpr int MaxCliTimeoutSeconds = 3600;

// The usage line, ending in a line break.
const char* CliUsage();
// The usage line and every option, for --help.
std::string CliHelp();
// "albrivo-cli 1.0.0", for --version.
std::string CliVersion();

// False with Error set (no "albrivo-cli: " prefix) for anything but the documented
// arguments and one address. --help or --version make every other argument optional.
bool ParseCliArguments(const std::vector<std::string>& Args, TCliOptions& Options, std::string& Error);
