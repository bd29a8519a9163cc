// tavo-site: the demo album site as a program.
//
//   tavo-site [--bind ADDR] [--port PORT] [--report-log FILE] [--latency MS] [--poll]
//             [--tls-cert FILE --tls-key FILE] [--help] [--version]
//
// Serves until interrupted (SIGINT, SIGTERM) and prints one line per request to standard
// output, after a first line naming the address and the sample album. Argument errors go
// to standard error as "tavo-site: reason" with the usage line (exit 2); a site that
// cannot listen exits 1.
#include "demo/DemoSite.h"
#include "demo/SiteAlbums.h"
#include "platform/rtl/SysUtils.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <string>
#include <thread>

namespace {

const char* const UsageLine =
    "usage: tavo-site [--bind ADDR] [--port PORT] [--report-log FILE] [--latency MS] [--poll]\n"
    "                 [--tls-cert FILE --tls-key FILE] [--help] [--version]\n";

const char* const OptionsHelp =
    "The demo album site: album pages, the album XML service, photos, music, the usage\n"
    "report endpoint, the information page and the link list, on one address. Its index\n"
    "page / lists every album and what it does wrong on purpose. Each request is logged\n"
    "on standard output as METHOD TARGET STATUS BYTES.\n"
    "\n"
    "  --bind ADDR         address to listen on (default 127.0.0.1)\n"
    "  --port PORT         port to listen on, 0 for a free one (default 18690)\n"
    "  --report-log FILE   write every usage report to FILE, one a line (FILE is emptied\n"
    "                      first)\n"
    "  --latency MS        play a far-away site: wait MS milliseconds once per new\n"
    "                      connection, and answer each request MS milliseconds after\n"
    "                      it arrived (default 0)\n"
    "  --poll              serve with plain sockets and poll() instead of the socket layer\n"
    "  --tls-cert FILE     serve https with the certificate (and its chain) in the PEM\n"
    "                      file FILE; the site's own addresses are then https\n"
    "  --tls-key FILE      the private key of --tls-cert, a PEM file\n"
    "  --help              print this help and exit\n"
    "  --version           print the version and exit\n";

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

}  // namespace

int main(int argc, char** argv) {
    TSiteOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help") {
            std::printf("%s\n%s", UsageLine, OptionsHelp);
            return 0;
        }
        if (a == "--version") {
            std::printf("tavo-site %s\n", ALBRIVO_VERSION);
            return 0;
        }
        if (a == "--poll") {
            options.UsePollTransport = true;
            continue;
        }
        if (a != "--bind" && a != "--port" && a != "--report-log" && a != "--latency" && a != "--tls-cert" &&
            a != "--tls-key")
            return ArgumentError("unknown option " + a);
        if (i + 1 >= argc) return ArgumentError("option " + a + " needs a value");
        const std::string value = argv[++i];
        if (a == "--bind") {
            options.Bind = value;
        } else if (a == "--report-log") {
            options.ReportLog = value;
        } else if (a == "--tls-cert") {
            options.TlsCert = value;
        } else if (a == "--tls-key") {
            options.TlsKey = value;
        } else if (a == "--port") {
            if (!ReadBoundedNumber(value, 0, 65535, options.Port)) return ArgumentError("invalid port: " + value);
        } else if (!ReadBoundedNumber(value, 0, MaxLatencyMs, options.LatencyMs)) {
            return ArgumentError("invalid latency (0 to " + std::to_string(MaxLatencyMs) +
                                 " ms): " + value);
        }
    }
    if (options.TlsCert.empty() != options.TlsKey.empty())
        return ArgumentError("--tls-cert and --tls-key go together");
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
