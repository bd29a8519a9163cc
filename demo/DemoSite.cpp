// DemoSite: assembly of the demo site and its own-thread runner (see DemoSite.h).
#include "demo/DemoSite.h"

#include <future>

namespace {

std::unique_ptr<TSiteTransport> NewTransport(const TSiteOptions& options) {
    auto transport = options.UsePollTransport ? NewPollTransport() : NewWSocketTransport();
    transport->Times.Latency = std::chrono::milliseconds(options.LatencyMs);
    transport->Times.IdleTimeout = std::chrono::milliseconds(options.IdleTimeoutMs);
    if (options.TlsCert.empty() != options.TlsKey.empty())
        throw ESiteError("A TLS certificate needs its key, and a key its certificate");
    if (!options.TlsCert.empty()) transport->Tls = tls::ServerContext(options.TlsCert, options.TlsKey);
    return transport;
}

}  // namespace

TDemoSite::TDemoSite(const TSiteOptions& options)
    : FRouter(""), FEndAtClose(options.EndAtClose), FReports(options.ReportLog), FTransport(NewTransport(options)) {
    FPort = FTransport->Listen(options.Bind, options.Port);
    std::string host = options.Bind == "0.0.0.0" ? "127.0.0.1" : options.Bind;
    FAddress = host + ":" + std::to_string(FPort);
    FRouter.SetSiteAddress(FAddress);
    FSecure = FTransport->Tls != nullptr;
    FRouter.SetSecure(FSecure);
    FRouter.OnReport = [this](const std::string& body) { FReports.Add(body); };
    FTransport->Handler = [this](const TSiteRequest& r) {
        TSiteResponse response = FRouter.Handle(r);
        // An answer framed by the close cannot keep its connection: the session closes it.
        if (FEndAtClose && response.Framing == TBodyFraming::Length) response.Framing = TBodyFraming::Close;
        return response;
    };
    FTransport->OnLog = [this](const std::string& line) {
        {
            std::lock_guard<std::mutex> guard(FLock);
            FRequests.push_back(line);
        }
        if (OnRequestLog) OnRequestLog(line);
    };
}

TDemoSite::~TDemoSite() = default;

std::string TDemoSite::Url(const std::string& path) const {
    return (FSecure ? "https://" : "http://") + FAddress + path;
}

void TDemoSite::Run() { FTransport->Run(); }

void TDemoSite::Stop() { FTransport->Stop(); }

std::vector<std::string> TDemoSite::Requests() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FRequests;
}

std::vector<std::string> TDemoSite::Reports() const { return FReports.Reports(); }

TDemoSiteThread::TDemoSiteThread(TSiteOptions options) {
    std::promise<void> listening;
    std::future<void> ready = listening.get_future();
    FThread = std::thread([this, options, &listening] {
        try {
            FSite = std::make_unique<TDemoSite>(options);
        } catch (...) {
            listening.set_exception(std::current_exception());
            return;
        }
        listening.set_value();
        FSite->Run();
        std::lock_guard<std::mutex> guard(FLock);
        FSite.reset();  // sockets die on the thread that made them
    });
    try {
        ready.get();
    } catch (...) {
        FThread.join();
        throw;
    }
}

TDemoSiteThread::~TDemoSiteThread() {
    {
        std::lock_guard<std::mutex> guard(FLock);
        if (FSite) FSite->Stop();
    }
    FThread.join();
}
