// DemoSite: assembly of the demo site and its own-thread runner (see DemoSite.h).
#include "demo/DemoSite.h"

namespace {

std::unique_ptr<TSiteTransport> NewTransport(const TSiteOptions& options) {
    (void)options;
    return NewPollTransport();
}

}  // namespace

TDemoSite::TDemoSite(const TSiteOptions& options)
    : FRouter(""), FReports(options.ReportLog), FTransport(NewTransport(options)) {
    FPort = FTransport->Listen(options.Bind, options.Port);
    std::string host = options.Bind == "0.0.0.0" ? "127.0.0.1" : options.Bind;
    FAddress = host + ":" + std::to_string(FPort);
    FRouter.SetSiteAddress(FAddress);
    FRouter.OnReport = [this](const std::string& body) { FReports.Add(body); };
    FTransport->Handler = [this](const TSiteRequest& r) { return FRouter.Handle(r); };
    FTransport->OnLog = [this](const std::string& line) {
        {
            std::lock_guard<std::mutex> guard(FLock);
            FRequests.push_back(line);
        }
        if (OnRequestLog) OnRequestLog(line);
    };
}

TDemoSite::~TDemoSite() = default;

std::string TDemoSite::Url(const std::string& path) const { return "http://" + FAddress + path; }

void TDemoSite::Run() { FTransport->Run(); }

void TDemoSite::Stop() { FTransport->Stop(); }

std::vector<std::string> TDemoSite::Requests() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FRequests;
}

std::vector<std::string> TDemoSite::Reports() const { return FReports.Reports(); }

TDemoSiteThread::TDemoSiteThread(TSiteOptions options)
    : FSite(std::make_unique<TDemoSite>(options)) {
    FThread = std::thread([this] { FSite->Run(); });
}

TDemoSiteThread::~TDemoSiteThread() {
    FSite->Stop();
    if (FThread.joinable()) FThread.join();
}
