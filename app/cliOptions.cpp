// cliOptions: albrivo-cli's arguments, usage and help (see cliOptions.h).
//
// Organisation: the option table, the texts made from it, then the reading. An option is
// added with a row in OptionTable and a case in ParseCliArguments' switch.
#include "app/cliOptions.h"

#include "app/commonDefine.h"
#include "platform/rtl/CommandLine.h"
#include "platform/rtl/SysUtils.h"

#ifndef ALBRIVO_VERSION
#error "ALBRIVO_VERSION is defined by the build (CMake's project version)"
#endif

namespace {

enum class TCliOption { Music, Dir, InputFile, Site, Jobs, Timeout, Quiet, NoReport, Help, Version };

TOptionSpec Row(TCliOption id, char shortName, const char* longName, const char* value, std::string help) {
    return {int(id), shortName, longName, value, std::move(help)};
}

const std::vector<TOptionSpec>& OptionTable() {
    static const std::vector<TOptionSpec> table = {
        Row(TCliOption::Music, 'm', "music", nullptr, "also save the album's background music as background.mp3"),
        Row(TCliOption::Dir, 'd', "dir", "DIR", "make the album folders inside DIR (default: the current folder)"),
        Row(TCliOption::InputFile, 'i', "input-file", "FILE",
            "read page addresses from FILE (- for standard input), one a line;\n"
            "blank lines and lines starting with # are skipped"),
        Row(TCliOption::Site, 0, "site", "HOST:PORT",
            "the site every address of the program lies on\n(default " + std::string(DefaultSiteHost) + ")"),
        Row(TCliOption::Jobs, 'j', "jobs", "N",
            "connections, so photos arriving at once, 1 to 16 (default 4;\n"
            "1: one at a time, in album order); each asks for the photos\n"
            "that follow on it ahead"),
        Row(TCliOption::Timeout, 'T', "timeout", "SECONDS", "give up a transfer after this long without a byte (default 30)"),
        Row(TCliOption::Quiet, 'q', "quiet", nullptr, "print only errors and the summary lines"),
        Row(TCliOption::NoReport, 0, "no-report", nullptr, "send no usage report (see below)"),
        Row(TCliOption::Help, 'h', "help", nullptr, "print this help and exit"),
        Row(TCliOption::Version, 'V', "version", nullptr, "print the version and exit"),
    };
    return table;
}

bool ReadOption(TCliOptions& o, const TOptionSpec& option, const std::string& value, std::string& error) {
    switch (TCliOption(option.Id)) {
    case TCliOption::Music: o.Music = true; break;
    case TCliOption::Dir: o.Dir = value; break;
    case TCliOption::InputFile: o.InputFiles.push_back(value); break;
    case TCliOption::Site:
        // The site is only checked here; the caller applies it.
        if (!IsSiteHost(value)) error = "--site: not HOST:PORT: " + value;
        o.Site = value;
        break;
    case TCliOption::Jobs:
        if (!ReadBoundedNumber(value, 1, MaxCliJobs, o.Jobs))
            error = "--jobs takes a number from 1 to " + IntToStr(MaxCliJobs) + ": " + value;
        break;
    case TCliOption::Timeout:
        if (!ReadBoundedNumber(value, 1, MaxCliTimeoutSeconds, o.TimeoutSeconds))
            error = "--timeout takes seconds from 1 to " + IntToStr(MaxCliTimeoutSeconds) + ": " + value;
        break;
    case TCliOption::Quiet: o.Quiet = true; break;
    case TCliOption::NoReport: o.Report = false; break;
    case TCliOption::Help: o.Help = true; return false;
    case TCliOption::Version: o.Version = true; return false;
    }
    return true;
}

std::string Trimmed(const std::string& line) {
    const char* blanks = " \t\r\v\f";
    size_t first = line.find_first_not_of(blanks);
    if (first == std::string::npos) return std::string();
    return line.substr(first, line.find_last_not_of(blanks) - first + 1);
}

}  // namespace

const char* CliUsage() {
    return "usage: albrivo-cli [OPTION]... PAGE_URL...\n"
           "   or: albrivo-cli [OPTION]... -i FILE [PAGE_URL]...\n";
}

std::string CliHelp() {
    return std::string(CliUsage()) +
           "\n"
           "Downloads every photo of the album whose page is PAGE_URL (an http:// address) into a\n"
           "folder named after the album: 0.jpg, 1.jpg, ... Several albums are fetched one after\n"
           "another, each with a summary line of its own.\n"
           "\n"
           "options:\n" +
           OptionsHelp(OptionTable()) +
           "\n" + UsageReportHelp() +
           "\n"
           "On a terminal the progress is one line (photo i of n, bytes, rate); otherwise every\n"
           "status text is a line of its own. Ctrl-C or SIGTERM stops the run (and the albums\n"
           "after it).\n"
           "\n"
           "exit status: 0 every photo (and the music asked for) saved, 1 some failed or the run\n"
           "was stopped, 2 the run could not be done (bad arguments, an input file not read, a\n"
           "folder that cannot be made, page or album information not fetched); with several\n"
           "albums the worst of them. 1 also when standard output could not be written.\n";
}

std::string CliVersion() { return std::string("albrivo-cli ") + ALBRIVO_VERSION; }

bool ParseCliArguments(const std::vector<std::string>& Args, TCliOptions& o, std::string& error) {
    std::vector<std::string> operands;
    auto onOption = [&o](const TOptionSpec& option, const std::string& value, std::string& e) {
        return ReadOption(o, option, value, e);
    };
    if (!ReadOptions(Args, OptionTable(), onOption, operands, error)) return false;
    if (o.Help || o.Version) return true;
    o.PageUrls.insert(o.PageUrls.end(), operands.begin(), operands.end());
    return true;
}

void ReadAddressList(std::istream& In, std::vector<std::string>& Urls) {
    std::string line;
    while (std::getline(In, line)) {
        std::string address = Trimmed(line);
        if (!address.empty() && address[0] != '#') Urls.push_back(address);
    }
}
