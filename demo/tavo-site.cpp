// tavo-site: the demo album site as a program.
//
//   tavo-site [--bind 127.0.0.1] [--port 18690] [--report-log FILE] [--poll]
//   tavo-site --print-sample-url [--bind ADDR] [--port N]
//
// Serves until interrupted (SIGINT, SIGTERM) and prints one line per request to standard
// output. --poll serves with the BSD-socket transport instead of the socket layer's.
// --print-sample-url prints the address of the 12-photo album's page and exits.
#include "demo/DemoSite.h"
#include "demo/SiteAlbums.h"

#include <csignal>
#include <pthread.h>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

// SIGINT and SIGTERM are blocked in every thread and taken by this thread with sigwait,
// so that stopping the site runs as ordinary code, not inside a signal handler.
std::thread StartSignalWatcher(TDemoSite& site, const sigset_t& signals) {
    return std::thread([&site, signals] {
        int sig = 0;
        sigwait(&signals, &sig);
        site.Stop();
    });
}

int Usage() {
    std::fprintf(stderr,
                 "usage: tavo-site [--bind ADDR] [--port N] [--report-log FILE] [--poll]\n"
                 "       tavo-site --print-sample-url [--bind ADDR] [--port N]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    TSiteOptions options;
    bool printSample = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool hasValue = i + 1 < argc;
        if (a == "--bind" && hasValue) options.Bind = argv[++i];
        else if (a == "--port" && hasValue) options.Port = std::atoi(argv[++i]);
        else if (a == "--report-log" && hasValue) options.ReportLog = argv[++i];
        else if (a == "--poll") options.UsePollTransport = true;
        else if (a == "--print-sample-url") printSample = true;
        else return Usage();
    }
    if (printSample) {
        std::string host = options.Bind == "0.0.0.0" ? "127.0.0.1" : options.Bind;
        std::printf("%s\n", AlbumPageUrl(host + ":" + std::to_string(options.Port),
                                         *FindDemoAlbum(SampleAlbumId)).c_str());
        return 0;
    }
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
        std::printf("tavo-site listening on http://%s/ (sample album %s)\n", site.Address().c_str(),
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
