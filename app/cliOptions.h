// cliOptions: the command line of albrivo-cli.
//
//   albrivo-cli [OPTION]... PAGE_URL...
//   albrivo-cli [OPTION]... -i FILE [PAGE_URL]...
//
// The options are one table (cliOptions.cpp) that both the reading (getopt_long, through
// platform/rtl/CommandLine.h) and the help are made from. ParseCliArguments reads the
// arguments into TCliOptions or says what is wrong with them; it applies nothing (the
// site, the folder) and reads no file, so it can be tested on its own. ReadAddressList
// reads the addresses of an input file.
#pragma once

#include <istream>
#include <string>
#include <vector>

struct TCliOptions {
    bool Music = false;
    std::string Dir;       // the album folders go in here; empty: the current folder
    std::string Site;      // "HOST:PORT" of every address; empty: the default
    int Jobs = 4;          // photos in flight, 1 ... 16
    int TimeoutSeconds = 30;  // receive time-out of every transfer
    bool Quiet = false;    // only errors and the summary lines
    bool Report = true;    // post the usage report after each album's photos
    std::string CaCertificate;        // --ca-certificate FILE: also trusted; empty: none
    bool NoCheckCertificate = false;  // --no-check-certificate: https servers not checked
    bool Help = false;     // --help: print the help and exit 0
    bool Version = false;  // --version: print the version and exit 0
    std::vector<std::string> PageUrls;    // the addresses on the command line, in order
    std::vector<std::string> InputFiles;  // -i FILE, in order; "-" is standard input
};

constexpr int MaxCliJobs = 16;
constexpr int MaxCliTimeoutSeconds = 3600;

// The usage lines, ending in a line break.
const char* CliUsage();
// The usage lines, what the program does, every option, the usage report and the exit
// status, for --help.
std::string CliHelp();
// "albrivo-cli 1.0.0", for --version.
std::string CliVersion();

// False with Error set (no "albrivo-cli: " prefix) for anything but the documented
// options. --help or --version end the reading. Addresses are not required here: they
// may all come from input files (see ReadAddressList).
bool ParseCliArguments(const std::vector<std::string>& Args, TCliOptions& Options, std::string& Error);

// Appends the addresses of an input file to Urls: one a line, surrounding blanks (and a
// carriage return) removed; blank lines and lines starting with "#" are skipped.
void ReadAddressList(std::istream& In, std::vector<std::string>& Urls);
