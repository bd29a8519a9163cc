// SiteRouter: routing, report log and request log lines (see SiteRouter.h).
#include "demo/SiteRouter.h"

#include "demo/SiteAlbums.h"
#include "demo/SiteMedia.h"
#include "demo/SiteRange.h"
#include "platform/rtl/Classes.h"
#include "platform/rtl/SysUtils.h"

#include <cerrno>
#include <chrono>
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

TSiteResponse Redirect(const std::string& location) {
    TSiteResponse r = MakeResponse(302, ReasonPhrase(302), "text/html; charset=utf-8",
                                   ErrorPageHtml(302, ReasonPhrase(302)));
    r.Headers.emplace_back("Location", location);
    return r;
}

// 20 bytes a second, one byte at a time, and no length: the body ends with the connection.
void Trickle20(TSiteResponse& r) {
    r.Framing = TBodyFraming::Close;
    r.TrickleBytes = 1;
    r.TrickleDelayMs = Trickle20DelayMs;
}

// What a photo host answers, with status 200, for a photo it cannot show.
std::string PhotoUnavailableHtml() {
    return "<!DOCTYPE html>\n<html><head><title>Photo unavailable</title></head><body>\n"
           "<h1>Sorry, this photo is not available.</h1>\n<p>It may have been removed by its "
           "owner.</p>\n</body></html>\n";
}

// What a misconfigured host sends as image/jpeg instead of a photo.
std::string PhotoRemovedText() { return "This photo has been removed by its owner.\n"; }

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

TSiteResponse TSiteRouter::Handle(const TSiteRequest& request) {
    bool head = request.Method == "HEAD";
    if (request.Method != "GET" && request.Method != "POST" && !head) return ErrorResponse(501);
    TSiteResponse r;
    try {
        r = Route(request, FSecure ? "https://" + SiteFor(request) : SiteFor(request));
    } catch (const std::exception&) {
        r = ErrorResponse(500);
    }
    r.HeadOnly = head;
    return r;
}

TSiteResponse TSiteRouter::Route(const TSiteRequest& req, const std::string& site) {
    const std::string& path = req.Path;
    std::string rest;
    if (path == ReportPath) return Report(req);
    if (req.Method == "POST") return ErrorResponse(405);
    if (path == "/") return Html(IndexHtml(site));
    if (path == XmlPath) {
        const TDemoAlbum* album = FindDemoAlbum(PercentDecode(req.Query));
        return album ? Xml(*album, site) : ErrorResponse(404);
    }
    if (TakePrefix(path, "/album/", &rest) && TakeSuffix(rest, ".html", &rest)) {
        const TDemoAlbum* album = FindDemoAlbum(PercentDecode(rest));
        return album ? AlbumPage(*album, site) : ErrorResponse(404);
    }
    if (path == "/code_without_top.html") {
        const TDemoAlbum* album = FindDemoAlbum(PercentDecode(QueryValue(req.Query, "id")));
        return album ? Html(PlayerHtml(site, *album)) : ErrorResponse(404);
    }
    if (TakePrefix(path, "/photos/", &rest)) return Photo(req, rest);
    if (TakePrefix(path, "/music/", &rest)) return Music(rest);
    if (path == InfoPagePath) return Html(InfoPageHtml(site));
    if (path == LinkListPath && QueryValue(req.Query, "a") == "getlinks")
        return MakeResponse(200, "OK", "text/plain; charset=utf-8", LinkListText(site));
    return ErrorResponse(404);
}

TSiteResponse TSiteRouter::AlbumPage(const TDemoAlbum& album, const std::string& site) const {
    switch (album.Fault) {
    case TAlbumFault::PageToHttps:
        return Redirect("https://" + site.substr(site.find("://") == std::string::npos ? 0 : site.find("://") + 3) +
                        "/album/spring12.html");
    case TAlbumFault::PageToFtp:
        return Redirect("ftp://127.0.0.1/album.html");
    case TAlbumFault::EndlessPage: {
        TSiteResponse r = Html(AlbumPageTop(site, album));
        r.Repeat = EndlessFiller();
        r.Framing = TBodyFraming::Chunked;
        return r;
    }
    case TAlbumFault::Trickle20: {
        TSiteResponse r = Html(AlbumPageHtml(site, album));
        Trickle20(r);
        return r;
    }
    default:
        return Html(AlbumPageHtml(site, album));
    }
}

TSiteResponse TSiteRouter::Xml(const TDemoAlbum& album, const std::string& site) const {
    const char* type = "text/xml; charset=utf-8";
    if (album.Fault != TAlbumFault::EndlessXml) return MakeResponse(200, "OK", type, AlbumXml(site, album));
    TSiteResponse r = MakeResponse(200, "OK", type, AlbumXmlTop(site, album));
    r.Repeat = EndlessFiller();
    r.Framing = TBodyFraming::Close;
    return r;
}

bool TSiteRouter::FirstRequest(const TDemoAlbum& album, int index) {
    std::lock_guard<std::mutex> guard(FSeenLock);
    return FSeen.emplace(album.Id, index).second;
}

TSiteResponse TSiteRouter::Photo(const TSiteRequest& request, const std::string& rest) {
    // rest is "ALBUMID/N.jpg".
    size_t slash = rest.find('/');
    std::string stem;
    if (slash == std::string::npos || !TakeSuffix(rest.substr(slash + 1), ".jpg", &stem))
        return ErrorResponse(404);
    const TDemoAlbum* album = FindDemoAlbum(PercentDecode(rest.substr(0, slash)));
    int index = PhotoIndex(stem);
    if (!album || index < 0 || index >= album->PhotoCount) return ErrorResponse(404);
    const TDemoAlbum& a = *album;
    using F = TAlbumFault;
    if (a.Faulty(F::Missing, index)) return ErrorResponse(404);
    if (a.Faulty(F::HtmlPhoto, index)) return Html(PhotoUnavailableHtml());
    if (a.Faulty(F::RateLimit, index) && FirstRequest(a, index)) {
        TSiteResponse r = ErrorResponse(429);
        r.Headers.emplace_back("Retry-After", std::to_string(RateLimitRetrySeconds));
        return r;
    }
    if (a.Faulty(F::Busy, index) && FirstRequest(a, index)) {
        // Whole seconds: rounded up, so the date is never less than the delay ahead.
        auto now = std::chrono::system_clock::now().time_since_epoch();
        int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
        TSiteResponse r = ErrorResponse(503);
        r.Headers.emplace_back("Date", HttpDate(ms / 1000));
        r.Headers.emplace_back("Retry-After", HttpDate((ms + 999) / 1000 + BusyRetrySeconds));
        return r;
    }
    if (a.Fault == F::RedirScheme && index >= 1 && index <= 3) {
        static const char* const targets[] = {"file:///etc/passwd", "ftp://127.0.0.1/x.jpg",
                                              "javascript:alert(1)"};
        return Redirect(targets[index - 1]);
    }
    const bool big = a.Faulty(F::BigPhoto, index) || a.Faulty(F::BigPhotoNoRange, index);
    TSiteEntity entity;
    if (a.Faulty(F::TextPhoto, index)) {
        entity = MakeEntity(std::make_shared<const std::string>(PhotoRemovedText()), "image/jpeg");
    } else {
        TDemoPhoto photo = DemoPhoto(a.Id, index, big);
        entity = {photo.Jpeg, "image/jpeg", photo.ETag, EntityLastModified};
    }
    TSiteResponse r = EntityResponse(request, entity, a.Fault != F::BigPhotoNoRange);
    if (r.Status != 200 && r.Status != 206) return r;  // 416
    if (a.Faulty(F::CutOff, index)) r.CloseAfterBodyBytes = r.BodySize() / 2;
    if (a.Faulty(F::Stall, index)) r.StallAfterBodyBytes = 0;
    if (a.Faulty(F::Trickle20, index)) Trickle20(r);
    if (a.Fault == F::Trickle) {
        r.TrickleBytes = TrickleBytes;
        r.TrickleDelayMs = TrickleDelayMs;
    }
    if (big) {
        r.TrickleBytes = BigPhotoPieceBytes;
        r.TrickleDelayMs = BigPhotoDelayMs;
    }
    return r;
}

TSiteResponse TSiteRouter::Music(const std::string& rest) const {
    std::string id;
    const TDemoAlbum* album = TakeSuffix(rest, ".mp3", &id) ? FindDemoAlbum(PercentDecode(id)) : nullptr;
    if (!album || !album->HasMusic) return ErrorResponse(404);
    if (album->Fault == TAlbumFault::NotAudio) return Html(ErrorPageHtml(404, "Not Found"));
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
