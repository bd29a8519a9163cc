// tavo-site: the demo album site as a program.
//
//   tavo-site [--bind ADDR] [--port PORT] [--report-log FILE] [--latency MS] [--close] [--poll]
//             [--tls-cert FILE --tls-key FILE] [--help] [--version]
//
// Serves until interrupted (SIGINT, SIGTERM) and prints one line per request to standard
// output, after a first line naming the address and the sample album. The options are
// read with getopt_long (platform/rtl/CommandLine.h) from one table the help is made from.
// Argument errors go to standard error as "tavo-site: reason" with the usage line (exit
// 2); a site that cannot listen, or a standard output that cannot be written, exits 1.
#include "demo/DemoSite.h"
#include "demo/SiteAlbums.h"
#include "platform/rtl/CommandLine.h"
#include "platform/rtl/SysUtils.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

namespace {

const char* const UsageLine =
    "usage: tavo-site [--bind ADDR] [--port PORT] [--report-log FILE] [--latency MS] [--close]\n"
    "                 [--poll] [--tls-cert FILE --tls-key FILE] [--help] [--version]\n";

const char* const Description =
    "The demo album site: album pages, the album XML service, photos, music, the usage\n"
    "report endpoint, the information page and the link list, on one address. Its index\n"
    "page / lists every album and what it does wrong on purpose. Each request is logged\n"
    "on standard output as METHOD TARGET STATUS BYTES.\n";

enum class TSiteOption { Bind, Port, ReportLog, Latency, Close, Poll, TlsCert, TlsKey, Help, Version };

// Every option, in the order of the help. An option is added with a row here and a case
// in ReadOption.
const std::vector<TOptionSpec>& OptionTable() {
    static const std::vector<TOptionSpec> table = {
        {int(TSiteOption::Bind), 'b', "bind", "ADDR", "address to listen on (default 127.0.0.1)"},
        {int(TSiteOption::Port), 'p', "port", "PORT", "port to listen on, 0 for a free one (default 18690)"},
        {int(TSiteOption::ReportLog), 0, "report-log", "FILE",
         "write every usage report to FILE, one a line\n(FILE is emptied first)"},
        {int(TSiteOption::Latency), 0, "latency", "MS",
         "play a far-away site: wait MS milliseconds once per\n"
         "new connection, and answer each request MS\n"
         "milliseconds after it arrived (default 0)"},
        {int(TSiteOption::Close), 0, "close", nullptr,
         "end every answer at the close of its connection:\nno Content-Length, one request per connection"},
        {int(TSiteOption::Poll), 0, "poll", nullptr, "serve with plain sockets and poll() instead of the\nsocket layer"},
        {int(TSiteOption::TlsCert), 0, "tls-cert", "FILE",
         "serve https with the certificate (and its chain)\nin the PEM file FILE; the site's own addresses\nare then https"},
        {int(TSiteOption::TlsKey), 0, "tls-key", "FILE", "the private key of --tls-cert, a PEM file"},
        {int(TSiteOption::Help), 'h', "help", nullptr, "print this help and exit"},
        {int(TSiteOption::Version), 'V', "version", nullptr, "print the version and exit"},
    };
    return table;
}

// Largest --latency accepted: a minute.
constexpr int MaxLatencyMs = 60000;

// SIGINT and SIGTERM are blocked in every thread and taken by this thread with sigwait,
// so that stopping the site runs as ordinary code, not inside a signal handler.
std::thread StartSignalWatcher(TDemoSite& site, const sigset_t& signals) {
    return std::thread([&site, signals] {
        int sig = 0;
        sigwait(&signals, &sig);
        site.Stop();
    });
}

int ArgumentError(const std::string& reason) {
    std::fprintf(stderr, "tavo-site: %s\n%s", reason.c_str(), UsageLine);
    return 2;
}

// What the command line asks for besides serving.
struct TCommandLine {
    TSiteOptions Site;
    bool Help = false;
    bool Version = false;
};

bool ReadOption(TCommandLine& c, const TOptionSpec& option, const std::string& value, std::string& error) {
    switch (TSiteOption(option.Id)) {
    case TSiteOption::Bind: c.Site.Bind = value; break;
    case TSiteOption::ReportLog: c.Site.ReportLog = value; break;
    case TSiteOption::Port:
        if (!ReadBoundedNumber(value, 0, 65535, c.Site.Port)) error = "invalid port: " + value;
        break;
    case TSiteOption::Latency:
        if (!ReadBoundedNumber(value, 0, MaxLatencyMs, c.Site.LatencyMs))
            error = "invalid latency (0 to " + std::to_string(MaxLatencyMs) + " ms): " + value;
        break;
    case TSiteOption::Close: c.Site.EndAtClose = true; break;
    case TSiteOption::Poll: c.Site.UsePollTransport = true; break;
    case TSiteOption::TlsCert: c.Site.TlsCert = value; break;
    case TSiteOption::TlsKey: c.Site.TlsKey = value; break;
    case TSiteOption::Help: c.Help = true; return false;
    case TSiteOption::Version: c.Version = true; return false;
    }
    return true;
}

// Serves until a signal; the exit code.
int Serve(const TSiteOptions& options) {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    try {
        TDemoSite site(options);
        site.OnRequestLog = [](const std::string& line) {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
        };
        std::thread watcher = StartSignalWatcher(site, signals);
        std::printf("tavo-site listening on %s (sample album %s)\n", site.Url("/").c_str(),
                    site.Url(AlbumPagePath(*FindDemoAlbum(SampleAlbumId))).c_str());
        std::fflush(stdout);
        site.Run();
        // Run also ends without a signal only if the transport fails; wake the watcher.
        pthread_kill(watcher.native_handle(), SIGTERM);
        watcher.join();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tavo-site: %s\n", e.what());
        return 1;
    }
    return 0;
}

// Everything but the closing of standard output; the exit code.
int Run(const std::vector<std::string>& args) {
    TCommandLine c;
    std::vector<std::string> operands;
    std::string error;
    auto onOption = [&c](const TOptionSpec& option, const std::string& value, std::string& e) {
        return ReadOption(c, option, value, e);
    };
    if (!ReadOptions(args, OptionTable(), onOption, operands, error)) return ArgumentError(error);
    if (c.Help) {
        std::printf("%s\n%s\n%s", UsageLine, Description, OptionsHelp(OptionTable(), 26).c_str());
        return 0;
    }
    if (c.Version) {
        std::printf("tavo-site %s\n", ALBRIVO_VERSION);
        return 0;
    }
    if (!operands.empty()) return ArgumentError("unknown argument: " + operands.front());
    if (c.Site.TlsCert.empty() != c.Site.TlsKey.empty()) return ArgumentError("--tls-cert and --tls-key go together");
    return Serve(c.Site);
}

}  // namespace

int main(int argc, char** argv) {
    const int code = Run(std::vector<std::string>(argv + 1, argv + argc));
    return CloseStandardOutput("tavo-site", code);
}
