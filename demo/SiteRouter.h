// SiteRouter: the demo site's answers, as a pure function of the request.
//
// TSiteRouter maps a parsed request to a response: the index page, album pages, the
// player page, the XML service, photos (with the catalogue's faults as send directives),
// music, the maker's information page, the link list and the usage report endpoint. It
// holds no connection state, so it is tested without sockets. The site's own address
// ("HOST:PORT") goes into every absolute address it writes; a request's Host header, when
// present, takes its place so that the addresses work from wherever the client came (a
// Host header without a port gets the site's port).
//
// Reports are passed to OnReport in arrival order; TReportLog writes them to a file.
#pragma once

#include "demo/SiteHttp.h"
#include "platform/rtl/SysUtils.h"

#include <functional>
#include <mutex>
#include <string>
#include <vector>

// How the trickling album's photos are sent.
constexpr int TrickleBytes = 8192;
constexpr int TrickleDelayMs = 30;

class TSiteRouter {
public:
    explicit TSiteRouter(std::string siteAddress) : FSite(std::move(siteAddress)) {}

    const std::string& SiteAddress() const { return FSite; }
    void SetSiteAddress(const std::string& site) { FSite = site; }

    // The answer to one request. Never throws for anything a client sends.
    TSiteResponse Handle(const TSiteRequest& request) const;

    // Receives the raw form body of every usage report. Called on the serving thread.
    std::function<void(const std::string& body)> OnReport;

private:
    std::string SiteFor(const TSiteRequest& request) const;
    TSiteResponse Route(const TSiteRequest& request, const std::string& site) const;
    TSiteResponse Photo(const std::string& rest) const;
    TSiteResponse Music(const std::string& rest) const;
    TSiteResponse Report(const TSiteRequest& request) const;

    std::string FSite;
};

// A canned error response with a small HTML page.
TSiteResponse ErrorResponse(int status);

// The usage reports of one site run: one line per report, the raw form body (with CR and
// LF written as %0D and %0A so that a report stays one line), flushed as it arrives.
class TReportLog {
public:
    // An empty file name keeps the reports in memory only. Throws EFCreateError when the
    // file cannot be created; an existing file is truncated.
    explicit TReportLog(const std::string& fileName);
    ~TReportLog();
    TReportLog(const TReportLog&) = delete;
    TReportLog& operator=(const TReportLog&) = delete;

    void Add(const std::string& body);
    std::vector<std::string> Reports() const;

private:
    mutable std::mutex FLock;
    std::vector<std::string> FReports;
    std::FILE* FFile = nullptr;
};
