// CommandLine: options through getopt_long, their help lines, closing standard output
// (see CommandLine.h).
//
// getopt_long keeps its state in globals (optind, optarg, optopt); ReadOptions resets it
// (optind = 0, the GNU way to start afresh) and turns off its own messages (opterr = 0),
// so that every error is worded here. Each option's getopt value is its short letter, or
// 256 plus its place in the table for a long-only option; a '?' or ':' from getopt_long
// is mapped back to the option through optopt.
#include "platform/rtl/CommandLine.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <stdio_ext.h>

namespace {

constexpr int LongOnlyBase = 256;

bool OptionalValue(const TOptionSpec& o) { return o.Value && o.Value[0] == '['; }

int GetoptValue(const std::vector<TOptionSpec>& table, size_t index) {
    return table[index].Short ? static_cast<unsigned char>(table[index].Short) : LongOnlyBase + int(index);
}

// The table entry of a getopt value; nullptr for none.
const TOptionSpec* FindOption(const std::vector<TOptionSpec>& table, int value) {
    for (size_t i = 0; i < table.size(); i++)
        if (value != 0 && GetoptValue(table, i) == value) return &table[i];
    return nullptr;
}

// The option as the user wrote it: "--long" when the argument began with "--" (or the
// option has no short form), else "-c".
std::string WrittenName(const TOptionSpec& o, const char* argument) {
    if (!o.Short || (argument && std::strncmp(argument, "--", 2) == 0)) return std::string("--") + o.Long;
    return std::string("-") + o.Short;
}

// An unknown long option, or an abbreviation of several ("--t" for --timeout and --tls).
std::string UnknownLongOption(const std::vector<TOptionSpec>& table, const std::string& argument) {
    const std::string written = argument.substr(0, argument.find('='));
    const std::string prefix = written.substr(2);
    std::string candidates;
    int count = 0;
    for (const TOptionSpec& o : table) {
        if (prefix.empty() || std::strncmp(o.Long, prefix.c_str(), prefix.size()) != 0) continue;
        candidates += (count++ ? ", --" : "--") + std::string(o.Long);
    }
    if (count > 1) return "ambiguous option: " + written + " (" + candidates + ")";
    return "unknown argument: " + written;
}

// The text of getopt_long's '?': an unknown option, or a value given to a switch.
std::string OptionError(const std::vector<TOptionSpec>& table, const char* argument) {
    if (const TOptionSpec* o = FindOption(table, optopt)) return std::string("--") + o->Long + " takes no value";
    if (optopt != 0) return std::string("unknown argument: -") + char(optopt);
    return UnknownLongOption(table, argument ? argument : "");
}

}  // namespace

bool ReadOptions(const std::vector<std::string>& Args, const std::vector<TOptionSpec>& Table,
                 const TOptionHandler& OnOption, std::vector<std::string>& Operands, std::string& Error) {
    // ':' first: a missing value comes back as ':', not as '?'.
    std::string shortOptions = ":";
    std::vector<option> longOptions;
    for (size_t i = 0; i < Table.size(); i++) {
        const TOptionSpec& o = Table[i];
        int hasArg = !o.Value ? no_argument : OptionalValue(o) ? optional_argument : required_argument;
        if (o.Short) shortOptions += std::string(1, o.Short) + (hasArg == required_argument ? ":" : hasArg ? "::" : "");
        longOptions.push_back({o.Long, hasArg, nullptr, GetoptValue(Table, i)});
    }
    longOptions.push_back({nullptr, 0, nullptr, 0});

    // getopt_long moves the pointers (operands go last), never the texts.
    std::vector<std::string> texts(1, "program");
    texts.insert(texts.end(), Args.begin(), Args.end());
    std::vector<char*> argv;
    for (std::string& t : texts) argv.push_back(t.data());
    argv.push_back(nullptr);
    const int argc = int(texts.size());

    optind = 0;
    opterr = 0;
    for (;;) {
        int c = getopt_long(argc, argv.data(), shortOptions.c_str(), longOptions.data(), nullptr);
        if (c == -1) break;
        const char* argument = optind > 0 && optind <= argc ? argv[size_t(optind - 1)] : nullptr;
        if (c == '?') {
            Error = OptionError(Table, argument);
            return false;
        }
        const TOptionSpec* o = FindOption(Table, c == ':' ? optopt : c);
        if (!o) {
            Error = "unknown argument";  // getopt_long gave a value it was not given
            return false;
        }
        if (c == ':') {
            Error = WrittenName(*o, argument) + " needs a value";
            return false;
        }
        std::string value = optarg ? optarg : "";
        // An optional value may also come as the next argument.
        if (OptionalValue(*o) && !optarg && optind < argc && argv[size_t(optind)][0] != '-')
            value = argv[size_t(optind++)];
        Error.clear();
        bool goOn = OnOption(*o, value, Error);
        if (!Error.empty()) return false;
        if (!goOn) return true;
    }
    for (int i = optind; i < argc; i++) Operands.push_back(argv[size_t(i)]);
    return true;
}

std::string OptionsHelp(const std::vector<TOptionSpec>& Table, size_t HelpColumn) {
    const std::string indent(HelpColumn, ' ');
    std::string help;
    for (const TOptionSpec& o : Table) {
        std::string left = std::string(o.Short ? "  -" + std::string(1, o.Short) + ", " : "      ") + "--" + o.Long;
        if (o.Value) left += OptionalValue(o) ? "[=" + std::string(o.Value + 1) : "=" + std::string(o.Value);
        if (left.size() + 2 <= HelpColumn) {
            left.resize(HelpColumn, ' ');
        } else {
            left += "\n" + indent;
        }
        std::string text = o.Help;
        for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1 + HelpColumn))
            text.insert(at + 1, indent);
        help += left + text + "\n";
    }
    return help;
}

int CloseStandardOutput(const char* Program, int ExitCode) {
    const bool pending = __fpending(stdout) > 0;
    const bool failedBefore = std::ferror(stdout) != 0;
    errno = 0;
    const bool closeFailed = std::fclose(stdout) != 0;
    const int error = errno;
    // EBADF with nothing to write: standard output was closed and the program wrote nothing.
    if (!failedBefore && (!closeFailed || (!pending && error == EBADF))) return ExitCode;
    // The reason of a write that failed before the close is no longer known.
    std::fprintf(stderr, "%s: cannot write to standard output%s%s\n", Program, closeFailed && error ? ": " : "",
                 closeFailed && error ? std::strerror(error) : "");
    return ExitCode > 1 ? ExitCode : 1;
}
