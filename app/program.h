// program: the program's start-up sequence and its command line.
//
// RunProgram performs the start-up in its fixed order: the modules initialise (version
// tag, data-access object), the application object initialises, the main window is
// created (its FormCreate runs inside), the preview window is created hidden, and the
// message loop runs until the main window closes; then the windows are destroyed and the
// modules finalise. Trace, when set, hears the name of each step as it completes.
// The command line and its texts (usage, help, version) are here too, so that tests read
// the same texts the program prints; the options are read with getopt_long
// (platform/rtl/CommandLine.h) from one table that the help is made from as well.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct TProgramOptions {
    std::string Site;       // "HOST:PORT" of every address, empty: the default
    bool Headless = false;  // no window system (the loop still runs)
    int SmokeMs = -1;       // >= 0: close the main window this long after it is shown
    bool Report = true;     // album runs post the usage report (--no-report: false)
    std::string CaCertificate;        // --ca-certificate FILE: also trusted; empty: none
    bool NoCheckCertificate = false;  // --no-check-certificate: https servers not checked
    bool Help = false;      // --help: print ProgramHelp() and run nothing
    bool Version = false;   // --version: print ProgramVersion() and run nothing
    std::function<void(const std::string& step)> Trace;
};

// Reads "--site HOST:PORT", "--headless", "--smoke [MS]" (default 2000), "--no-report",
// "--ca-certificate FILE", "--no-check-certificate",
// "-h"/"--help" and "-V"/"--version" (either ends the reading: what follows is not looked
// at), in the forms getopt_long takes ("--site=HOST:PORT", "--head"). False with Error set
// (a reason without the program's name) for anything else, an operand included.
bool ParseArguments(const std::vector<std::string>& args, TProgramOptions& options, std::string& error);

// The usage line ("usage: albrivo [--site HOST:PORT] ...\n"), printed after an error.
const char* ProgramUsage();
// The usage line, what the program does and every option, one per line.
std::string ProgramHelp();
// "albrivo " and the release number.
std::string ProgramVersion();

// Runs the program; returns its exit code: 0, or 2 (the reason on standard error) when
// the --ca-certificate file cannot be read.
int RunProgram(const TProgramOptions& options);
