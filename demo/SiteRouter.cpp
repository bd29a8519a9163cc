// SiteRouter: routing, report log and request log lines (see SiteRouter.h).
#include "demo/SiteRouter.h"

#include "demo/SiteAlbums.h"
#include "demo/SiteMedia.h"
#include "platform/rtl/Classes.h"
#include "platform/rtl/SysUtils.h"

#include <cerrno>
#include <cstring>

namespace {

bool TakePrefix(const std::string& s, const std::string& prefix, std::string* rest) {
    if (s.compare(0, prefix.size(), prefix) != 0) return false;
    *rest = s.substr(prefix.size());
    return true;
}

bool TakeSuffix(const std::string& s, const std::string& suffix, std::string* stem) {
    if (s.size() < suffix.size() || s.compare(s.size() - suffix.size(), suffix.size(), suffix))
        return false;
    *stem = s.substr(0, s.size() - suffix.size());
    return true;
}

// The value of Key in a query "a=1&b=2"; empty when absent.
std::string QueryValue(const std::string& query, const std::string& key) {
    size_t pos = 0;
    while (pos <= query.size()) {
        size_t amp = query.find('&', pos);
        std::string part = query.substr(pos, amp == std::string::npos ? std::string::npos : amp - pos);
        if (part.compare(0, key.size() + 1, key + "=") == 0) return part.substr(key.size() + 1);
        if (amp == std::string::npos) break;
        pos = amp + 1;
    }
    return std::string();
}

// A photo index in plain decimal without leading zeros ("0", "17"); -1 otherwise.
int PhotoIndex(const std::string& text) {
    if (text.empty() || text.size() > 6 || (text.size() > 1 && text[0] == '0')) return -1;
    for (char c : text)
        if (c < '0' || c > '9') return -1;
    return std::stoi(text);
}

TSiteResponse Html(std::string body) {
    return MakeResponse(200, "OK", "text/html; charset=utf-8", std::move(body));
}

}  // namespace

TSiteResponse ErrorResponse(int status) {
    return MakeResponse(status, ReasonPhrase(status), "text/html; charset=utf-8",
                        ErrorPageHtml(status, ReasonPhrase(status)));
}

std::string TSiteRouter::SiteFor(const TSiteRequest& request) const {
    std::string host = request.Header("Host");
    // Only a plain host[:port] is echoed into addresses; anything else falls back.
    if (host.empty() || host.find_first_of("/\"<>'& ") != std::string::npos) return FSite;
    // A client may leave out the port (HTTP/1.0 clients often do): it is the site's own.
    if (host.find(':') == std::string::npos) {
        size_t colon = FSite.rfind(':');
        if (colon != std::string::npos) host += FSite.substr(colon);
    }
    return host;
}

TSiteResponse TSiteRouter::Handle(const TSiteRequest& request) const {
    bool head = request.Method == "HEAD";
    if (request.Method != "GET" && request.Method != "POST" && !head) return ErrorResponse(501);
    TSiteResponse r;
    try {
        r = Route(request, SiteFor(request));
    } catch (const std::exception&) {
        r = ErrorResponse(500);
    }
    r.HeadOnly = head;
    return r;
}

TSiteResponse TSiteRouter::Route(const TSiteRequest& req, const std::string& site) const {
    const std::string& path = req.Path;
    std::string rest;
    if (path == ReportPath) return Report(req);
    if (req.Method == "POST") return ErrorResponse(405);
    if (path == "/") return Html(IndexHtml(site));
    if (path == XmlPath) {
        const TDemoAlbum* album = FindDemoAlbum(req.Query);
        if (!album) return ErrorResponse(404);
        return MakeResponse(200, "OK", "text/xml; charset=utf-8", AlbumXml(site, *album));
    }
    if (TakePrefix(path, "/album/", &rest) && TakeSuffix(rest, ".html", &rest)) {
        const TDemoAlbum* album = FindDemoAlbum(rest);
        return album ? Html(AlbumPageHtml(site, *album)) : ErrorResponse(404);
    }
    if (path == "/code_without_top.html") {
        const TDemoAlbum* album = FindDemoAlbum(QueryValue(req.Query, "id"));
        return album ? Html(PlayerHtml(site, *album)) : ErrorResponse(404);
    }
    if (TakePrefix(path, "/photos/", &rest)) return Photo(rest);
    if (TakePrefix(path, "/music/", &rest)) return Music(rest);
    if (path == InfoPagePath) return Html(InfoPageHtml(site));
    if (path == LinkListPath && QueryValue(req.Query, "a") == "getlinks")
        return MakeResponse(200, "OK", "text/plain; charset=utf-8", LinkListText(site));
    return ErrorResponse(404);
}

TSiteResponse TSiteRouter::Photo(const std::string& rest) const {
    // rest is "ALBUMID/N.jpg".
    size_t slash = rest.find('/');
    std::string stem;
    if (slash == std::string::npos || !TakeSuffix(rest.substr(slash + 1), ".jpg", &stem))
        return ErrorResponse(404);
    const TDemoAlbum* album = FindDemoAlbum(rest.substr(0, slash));
    int index = PhotoIndex(stem);
    if (!album || index < 0 || index >= album->PhotoCount) return ErrorResponse(404);
    if (album->Fault == TPhotoFault::Missing && index == album->FaultIndex)
        return ErrorResponse(404);
    TSiteResponse r;
    r.Headers.emplace_back("Content-Type", "image/jpeg");
    r.Body = DemoPhotoJpeg(album->Id, index);
    if (album->Fault == TPhotoFault::CutOff && index == album->FaultIndex)
        r.CloseAfterBodyBytes = r.BodySize() / 2;
    if (album->Fault == TPhotoFault::Trickle) {
        r.TrickleBytes = TrickleBytes;
        r.TrickleDelayMs = TrickleDelayMs;
    }
    return r;
}

TSiteResponse TSiteRouter::Music(const std::string& rest) const {
    std::string id;
    const TDemoAlbum* album = TakeSuffix(rest, ".mp3", &id) ? FindDemoAlbum(id) : nullptr;
    if (!album || !album->HasMusic) return ErrorResponse(404);
    static const auto mp3 = std::make_shared<const std::string>(SilentMp3());
    TSiteResponse r;
    r.Headers.emplace_back("Content-Type", "audio/mpeg");
    r.Body = mp3;
    return r;
}

TSiteResponse TSiteRouter::Report(const TSiteRequest& request) const {
    if (request.Method != "POST") return ErrorResponse(405);
    if (OnReport) OnReport(request.Body);
    return MakeResponse(200, "OK", "text/plain; charset=utf-8", "ok");
}

// ---- report log -----------------------------------------------------------------------

TReportLog::TReportLog(const std::string& fileName) {
    if (fileName.empty()) return;
    FFile = std::fopen(fileName.c_str(), "wb");
    if (!FFile)
        throw EFCreateError("Cannot create file \"" + fileName + "\". " + std::strerror(errno));
}

TReportLog::~TReportLog() {
    if (FFile) std::fclose(FFile);
}

void TReportLog::Add(const std::string& body) {
    std::string line;
    for (char c : body) {
        if (c == '\r') line += "%0D";
        else if (c == '\n') line += "%0A";
        else line += c;
    }
    std::lock_guard<std::mutex> guard(FLock);
    FReports.push_back(line);
    if (FFile) {
        std::fwrite(line.data(), 1, line.size(), FFile);
        std::fputc('\n', FFile);
        std::fflush(FFile);
    }
}

std::vector<std::string> TReportLog::Reports() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FReports;
}
