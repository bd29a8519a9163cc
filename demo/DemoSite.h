// DemoSite: the whole demo album site: router, report log and transport put together.
//
// TDemoSite listens when it is constructed (so its port is known before it serves), then
// serves until Stop on the thread that constructed it: a message-driven transport binds
// its sockets to that thread. TDemoSiteThread constructs and runs one on a thread of its
// own, which is what tests and in-process demos want: its constructor returns once the
// site listens, Address() is then valid, and its destructor stops and joins the thread.
// The site keeps the request log lines and the usage reports, in arrival order.
#pragma once

#include "demo/SiteRouter.h"
#include "demo/SiteTransport.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct TSiteOptions {
    std::string Bind = "127.0.0.1";
    int Port = 18690;          // 0: a free port
    std::string ReportLog;     // file for the usage reports; empty: memory only
    bool UsePollTransport = false;  // the BSD-socket transport instead of the socket layer's
    int LatencyMs = 0;              // per new connection, and per request from its arrival
    int IdleTimeoutMs = 15000;      // an idle connection is dropped after this
    // Every answer ends at the close: no Content-Length, "Connection: close", one request
    // per connection, as CGI gateways and small embedded servers answer.
    bool EndAtClose = false;
    std::string TlsCert, TlsKey;    // PEM files: serve https with them (both or neither)
};

class TDemoSite {
public:
    // Listens at once. Throws ESiteError (cannot listen, or only one of the TLS files),
    // tls::ETlsError (a certificate or key that cannot be loaded) or EFCreateError (report
    // log).
    explicit TDemoSite(const TSiteOptions& options);
    ~TDemoSite();
    TDemoSite(const TDemoSite&) = delete;
    TDemoSite& operator=(const TDemoSite&) = delete;

    int Port() const { return FPort; }
    // "HOST:PORT" as clients reach it (127.0.0.1 when bound to every address).
    const std::string& Address() const { return FAddress; }
    // "http://HOST:PORT" + Path ("https://" when it serves TLS).
    std::string Url(const std::string& path) const;

    void Run();   // serves until Stop; on the constructing thread
    void Stop();  // any thread

    std::vector<std::string> Requests() const;  // request log lines so far
    std::vector<std::string> Reports() const;   // usage report bodies so far
    // Sees every request log line as it happens (set before Run).
    std::function<void(const std::string& line)> OnRequestLog;

private:
    TSiteRouter FRouter;
    const bool FEndAtClose;
    TReportLog FReports;
    std::unique_ptr<TSiteTransport> FTransport;
    int FPort = 0;
    std::string FAddress;
    bool FSecure = false;
    mutable std::mutex FLock;
    std::vector<std::string> FRequests;
};

class TDemoSiteThread {
public:
    // Starts a site on its own thread and waits until it listens; Options.Port defaults
    // to 0 here (a free port). Rethrows what TDemoSite's constructor threw.
    explicit TDemoSiteThread(TSiteOptions options = Loopback());
    ~TDemoSiteThread();
    TDemoSiteThread(const TDemoSiteThread&) = delete;
    TDemoSiteThread& operator=(const TDemoSiteThread&) = delete;

    TDemoSite& Site() { return *FSite; }
    const std::string& Address() const { return FSite->Address(); }
    std::string Url(const std::string& path) const { return FSite->Url(path); }

    static TSiteOptions Loopback() {
        TSiteOptions o;
        o.Port = 0;
        return o;
    }

private:
    std::mutex FLock;  // guards FSite between the destructor's Stop and the thread's end
    std::unique_ptr<TDemoSite> FSite;
    std::thread FThread;
};
