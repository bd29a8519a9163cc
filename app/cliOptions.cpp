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

enum class TCliOption {
    Music, Dir, InputFile, Site, Jobs, Timeout, Quiet, NoReport, CaCertificate, NoCheckCertificate, Help, Version
};

TOptionSpec Row(TCliOption id, char shortName, const char* longName, const char* value, std::string help) {
    return {int(id), shortName, longName, value, std::move(help)};
}

const std::vector<TOptionSpec>& OptionTable() {
    static const std::vector<TOptionSpec> table = {
        Row(TCliOption::Music, 'm', "music", nullptr, "also save the album's background music as\nbackground.mp3"),
        Row(TCliOption::Dir, 'd', "dir", "DIR", "make the album folders inside DIR (default: the\ncurrent folder)"),
        Row(TCliOption::InputFile, 'i', "input-file", "FILE",
            "read page addresses from FILE (- for standard input),\n"
            "one a line; blank lines and lines starting with # are\n"
            "skipped"),
        Row(TCliOption::Site, 0, "site", "HOST:PORT",
            "the site every address of the program lies on\n(default " + std::string(DefaultSiteHost) + ")"),
        Row(TCliOption::Jobs, 'j', "jobs", "N",
            "connections, so photos arriving at once, 1 to 16\n"
            "(default 4; 1: one at a time, in album order); each\n"
            "asks for the photos that follow on it ahead"),
        Row(TCliOption::Timeout, 'T', "timeout", "SECONDS",
            "give up a transfer after this long without a byte\n(default 30)"),
        Row(TCliOption::Quiet, 'q', "quiet", nullptr, "print only errors and the summary lines"),
        Row(TCliOption::NoReport, 0, "no-report", nullptr, "send no usage report (see below)"),
        Row(TCliOption::CaCertificate, 0, "ca-certificate", "FILE", SCaCertificateHelp),
        Row(TCliOption::NoCheckCertificate, 0, "no-check-certificate", nullptr, SNoCheckCertificateHelp),
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
    // The file is read where the options are applied.
    case TCliOption::CaCertificate: o.CaCertificate = value; break;
    case TCliOption::NoCheckCertificate: o.NoCheckCertificate = true; break;
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
           "Downloads every photo of the album whose page is PAGE_URL (an http:// or\n"
           "https:// address)\n"
           "into a folder named after the album: 0.jpg, 1.jpg, ... Several albums are\n"
           "fetched one after another, each with a summary line of its own.\n"
           "\n"
           "options:\n" +
           OptionsHelp(OptionTable()) + "\n" + CertificateHelp() + "\n" + UsageReportHelp() +
           "\n"
           "On a terminal the progress is one line (photo i of n, bytes, rate); otherwise\n"
           "every status text is a line of its own. Ctrl-C or SIGTERM stops the run and\n"
           "the albums after it.\n"
           "\n"
           "exit status: 0 every photo (and the music asked for) saved; 1 some failed, the\n"
           "run was stopped, or standard output could not be written; 2 the run could not\n"
           "be done (bad arguments, an input file not read, a folder that cannot be made,\n"
           "page or album information not fetched). Of several albums, the worst.\n";
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
