// SiteRouter: the demo site's answers, as a pure function of the request.
//
// TSiteRouter maps a parsed request to a response: the index page, album pages, the
// player page, the XML service, photos (entities with byte ranges and validators, and the
// catalogue's faults as answers or send directives), music, the maker's information page,
// the link list and the usage report endpoint. It holds no connection state, so it is
// tested without sockets; the only state it keeps is which faulty photos have been asked
// for once (faults that strike the first request only), per router, so per site. The
// site's own address ("HOST:PORT") goes into every absolute address it writes; a
// request's Host header, when present, takes its place so that the addresses work from
// wherever the client came (a Host header without a port gets the site's port). Ids in
// paths and queries are percent-decoded.
//
// Reports are passed to OnReport in arrival order; TReportLog writes them to a file.
#pragma once

#include "demo/SiteAlbums.h"
#include "demo/SiteHttp.h"
#include "platform/rtl/SysUtils.h"

#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

// How the trickling album's photos are sent.
constexpr int TrickleBytes = 8192;
constexpr int TrickleDelayMs = 30;
// How a big photo is sent: 64 KB every 32 ms, about 2 MB/s.
constexpr int BigPhotoPieceBytes = 65536;
constexpr int BigPhotoDelayMs = 32;
// How the trickle20 album's page and photo are sent: 20 bytes a second, a byte at a time.
constexpr int Trickle20DelayMs = 50;
// The Retry-After of the rate-limited photo, in seconds, and how far ahead the busy
// photo's Retry-After date lies (at least; the date is whole seconds, rounded up).
constexpr int RateLimitRetrySeconds = 2;
constexpr int BusyRetrySeconds = 2;

class TSiteRouter {
public:
    explicit TSiteRouter(std::string siteAddress) : FSite(std::move(siteAddress)) {}

    const std::string& SiteAddress() const { return FSite; }
    void SetSiteAddress(const std::string& site) { FSite = site; }
    // The site serves TLS: the addresses it writes are https.
    void SetSecure(bool secure) { FSecure = secure; }

    // The answer to one request. Never throws for anything a client sends. Any thread.
    TSiteResponse Handle(const TSiteRequest& request);

    // Receives the raw form body of every usage report. Called on the serving thread.
    std::function<void(const std::string& body)> OnReport;

private:
    std::string SiteFor(const TSiteRequest& request) const;
    TSiteResponse Route(const TSiteRequest& request, const std::string& site);
    TSiteResponse AlbumPage(const TDemoAlbum& album, const std::string& site) const;
    TSiteResponse Xml(const TDemoAlbum& album, const std::string& site) const;
    TSiteResponse Photo(const TSiteRequest& request, const std::string& rest);
    TSiteResponse Music(const std::string& rest) const;
    TSiteResponse Report(const TSiteRequest& request) const;
    // True the first time a photo is asked for (per router), false afterwards.
    bool FirstRequest(const TDemoAlbum& album, int index);

    std::string FSite;
    bool FSecure = false;
    std::mutex FSeenLock;
    std::set<std::pair<std::string, int>> FSeen;
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
