// CommandLine: a program's options read with the C library's getopt_long, the help lines
// that list them, and the closing check of standard output.
//
// A program describes its options once, in a table of TOptionSpec; ReadOptions hands
// each option found to the program's handler in command-line order and collects the
// other arguments (operands), and OptionsHelp writes the option lines of --help from the
// same table, so the two never disagree. What getopt_long accepts is what GNU tools
// accept: short forms ("-j 8", "-j8", "-qm"), "--jobs 8" and "--jobs=8", unambiguous
// abbreviations of long names ("--tim=5"), and "--" ending the options. The errors are
// the program's own texts (no "PROGRAM: " prefix, which the caller adds):
//   unknown argument: --fast          an unknown option (or "-x")
//   ambiguous option: --t (--timeout, --tls)
//   --dir needs a value               (or "-d needs a value")
//   --music takes no value            ("--music=yes")
#pragma once

#include <functional>
#include <string>
#include <vector>

struct TOptionSpec {
    int Id;             // what the handler switches on (unique in the table)
    char Short;         // the short form's letter; 0: none
    const char* Long;   // the long name without "--"
    // The value's name in the help ("DIR"); nullptr for an option without a value. In
    // brackets ("[MS]") the value is optional: "--smoke=MS", or the next argument when
    // it does not begin with "-"; without either, the handler gets an empty value.
    const char* Value;
    std::string Help;   // one or more lines, "\n" between them
};

// Hears one option and its value (empty for a switch). Returns false to stop reading
// (--help, --version: what follows is not looked at); sets Error to refuse the value.
using TOptionHandler = std::function<bool(const TOptionSpec& Option, const std::string& Value, std::string& Error)>;

// Reads Args (the arguments after the program's name). Operands receives the arguments
// that are no options, in order. False with Error set for an argument error, or when
// the handler set Error.
bool ReadOptions(const std::vector<std::string>& Args, const std::vector<TOptionSpec>& Table,
                 const TOptionHandler& OnOption, std::vector<std::string>& Operands, std::string& Error);

// The option lines of --help: "  -d, --dir=DIR" (or "      --site=HOST:PORT") with the
// help text from column HelpColumn on, continuation lines indented to it; a left part too
// long for the column puts the help on the next line.
std::string OptionsHelp(const std::vector<TOptionSpec>& Table, size_t HelpColumn = 25);

// Flushes and closes standard output at the end of a program; returns the program's exit
// code: ExitCode, or at least 1 when anything written to standard output was lost (a full
// disk, /dev/full), which it says on standard error as "PROGRAM: cannot write to standard
// output: REASON". A program that wrote nothing to an output closed before it started is
// not at fault.
int CloseStandardOutput(const char* Program, int ExitCode);
