// The hostile albums over loopback, on each transport: for every album the answers a
// client sees (status lines, headers, bodies, timing) through a real socket.
#include "SiteClient.h"
#include "demo/DemoSite.h"
#include "demo/SiteAlbums.h"
#include "demo/SiteMedia.h"
#include "demo/SiteRouter.h"

#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace {

const char* const Absent = "(absent)";

// One request and what its answer must show. Headers: exact values, or Absent. Check,
// when set, looks further (body, timing, what follows on the connection).
struct THostileCase {
    using TCheck = std::function<void(TTestConnection& conn, const TTestReply& reply, long ms)>;
    THostileCase(std::string name, std::string request, std::string statusLine,
                 std::vector<std::pair<std::string, std::string>> headers, size_t maxBody = size_t(-1),
                 int timeoutMs = 5000, TCheck check = nullptr)
        : Name(std::move(name)), Request(std::move(request)), StatusLine(std::move(statusLine)),
          Headers(std::move(headers)), MaxBody(maxBody), TimeoutMs(timeoutMs), Check(std::move(check)) {}

    std::string Name;
    std::string Request;
    std::string StatusLine;
    std::vector<std::pair<std::string, std::string>> Headers;
    size_t MaxBody;
    int TimeoutMs;
    TCheck Check;
};

std::string Jpeg(const char* album, int index, bool big = false) { return *DemoPhoto(album, index, big).Jpeg; }
std::string ETag(const char* album, int index, bool big = false) { return DemoPhoto(album, index, big).ETag; }

// Seconds since 1970 of an IMF-fixdate; -1 when it is not one.
long long ParseHttpDate(const std::string& text) {
    std::tm tm{};
    const char* end = strptime(text.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &tm);
    if (!end || *end) return -1;
    return (long long)timegm(&tm);
}

std::vector<THostileCase> Cases(const std::string& address) {
    const std::string lm = "Tue, 04 Jun 2024 08:00:00 GMT";
    const std::string big = std::to_string(BigPhotoBytes);
    auto get = [](const std::string& target, const std::string& headers = "") { return RequestText(target, "HTTP/1.1", headers); };
    auto bodyIs = [](std::string expected) {
        return [expected](TTestConnection&, const TTestReply& r, long) {
            EXPECT_TRUE(r.Complete);
            EXPECT_EQ(r.Body, expected);
        };
    };
    auto startsJpeg = [](TTestConnection&, const TTestReply& r, long) { EXPECT_EQ(r.Body.substr(0, 3), "\xFF\xD8\xFF"); };
    // Answers that trickle at 20 bytes a second: the head and a first byte at once, the
    // next bytes 50 ms apart, and the connection still open. Read with MaxBody 10.
    // On a loaded machine the site's timer may fire late, never early: the bounds below
    // only fail an answer that comes too fast or stops.
    auto trickles = [](TTestConnection& c, const TTestReply& r, long ms) {
        EXPECT_EQ(r.Body.size(), 10u);
        EXPECT_GE(ms, 400);
        std::string more = c.ReadFor(1000);
        EXPECT_GE(more.size(), 5u);
        EXPECT_LE(more.size(), 24u);
        EXPECT_FALSE(c.ClosedWithin(200));
    };
    std::vector<THostileCase> cases = {
        {"htmlphoto photo 1 is an HTML page", get("/photos/htmlphoto/1.jpg"), "HTTP/1.1 200 OK",
         {{"Content-Type", "text/html; charset=utf-8"}, {"ETag", Absent}}, size_t(-1), 5000,
         [](TTestConnection&, const TTestReply& r, long) { EXPECT_EQ(r.Body.rfind("<!DOCTYPE html>", 0), 0u); }},
        {"htmlphoto photo 1 again", get("/photos/htmlphoto/1.jpg"), "HTTP/1.1 200 OK",
         {{"Content-Type", "text/html; charset=utf-8"}}},
        {"htmlphoto photo 0", get("/photos/htmlphoto/0.jpg"), "HTTP/1.1 200 OK", {{"Content-Type", "image/jpeg"}},
         size_t(-1), 5000, bodyIs(Jpeg("htmlphoto", 0))},
        {"textphoto photo 2 is text sent as a JPEG", get("/photos/textphoto/2.jpg"), "HTTP/1.1 200 OK",
         {{"Content-Type", "image/jpeg"}}, size_t(-1), 5000, bodyIs("This photo has been removed by its owner.\n")},
        {"ratelimit photo 2, first request", get("/photos/ratelimit/2.jpg"), "HTTP/1.1 429 Too Many Requests",
         {{"Retry-After", "2"}, {"Connection", "keep-alive"}}},
        {"ratelimit photo 2, then the photo", get("/photos/ratelimit/2.jpg"), "HTTP/1.1 200 OK", {},
         size_t(-1), 5000, bodyIs(Jpeg("ratelimit", 2))},
        {"busy503 photo 1, first request", get("/photos/busy503/1.jpg"), "HTTP/1.1 503 Service Unavailable", {},
         size_t(-1), 5000,
         [](TTestConnection&, const TTestReply& r, long) {
             long long now = (long long)std::time(nullptr);
             long long at = ParseHttpDate(r.Header("Retry-After"));
             // Two seconds after the site's clock, which may have read the second before ours.
             EXPECT_GE(at, now + 1) << r.Header("Retry-After");
             EXPECT_LE(at, now + 3) << r.Header("Retry-After");
             EXPECT_NEAR(double(ParseHttpDate(r.Header("Date"))), double(now), 1.0);
         }},
        {"busy503 photo 1, then the photo", get("/photos/busy503/1.jpg"), "HTTP/1.1 200 OK", {}, size_t(-1), 5000,
         bodyIs(Jpeg("busy503", 1))},
        {"stall photo 1: the head, then nothing", get("/photos/stall/1.jpg"), "HTTP/1.1 200 OK",
         {{"Content-Length", std::to_string(Jpeg("stall", 1).size())}, {"Connection", "close"}}, size_t(-1), 700,
         [](TTestConnection& c, const TTestReply& r, long ms) {
             EXPECT_TRUE(r.TimedOut);
             EXPECT_EQ(r.Body, "");
             EXPECT_GE(ms, 650);
             EXPECT_FALSE(c.ClosedWithin(300));  // and the connection stays open
         }},
        {"hugepage never ends", get("/album/hugepage.html"), "HTTP/1.1 200 OK",
         {{"Transfer-Encoding", "chunked"}, {"Content-Length", Absent}, {"Connection", "close"}}, 4 << 20, 5000,
         [](TTestConnection&, const TTestReply& r, long) {
             EXPECT_FALSE(r.Complete);
             EXPECT_EQ(r.Body.size(), size_t(4 << 20));
             EXPECT_NE(r.Body.find("code_without_top.html?id=hugepage&"), std::string::npos);
         }},
        {"hugexml: a normal page", get("/album/hugexml.html"), "HTTP/1.1 200 OK", {}, size_t(-1), 5000,
         [](TTestConnection&, const TTestReply& r, long) {
             EXPECT_NE(r.Body.find("code_without_top.html?id=hugexml&"), std::string::npos);
         }},
        {"hugexml: the XML never ends", get("/xml?hugexml"), "HTTP/1.1 200 OK",
         {{"Content-Type", "text/xml; charset=utf-8"}, {"Content-Length", Absent}, {"Transfer-Encoding", Absent},
          {"Connection", "close"}},
         4 << 20, 5000,
         [](TTestConnection&, const TTestReply& r, long) {
             EXPECT_FALSE(r.Complete);
             EXPECT_FALSE(r.Closed);
             EXPECT_EQ(r.Body.size(), size_t(4 << 20));
             EXPECT_EQ(r.Body.rfind("<?xml", 0), 0u);
         }},
        {"bigphoto photo 0: 8 MB at about 2 MB/s", get("/photos/bigphoto/0.jpg"), "HTTP/1.1 200 OK",
         {{"Content-Length", big}, {"Accept-Ranges", "bytes"}, {"ETag", ETag("bigphoto", 0, true)},
          {"Last-Modified", lm}},
         1 << 20, 5000,
         [](TTestConnection&, const TTestReply& r, long ms) {
             EXPECT_EQ(r.Body, Jpeg("bigphoto", 0, true).substr(0, 1 << 20));
             EXPECT_GE(ms, 300);  // 1 MB: 15 pauses of 32 ms
             EXPECT_LT(ms, 3000);
         }},
        {"bigphoto photo 0 resumed by ETag", get("/photos/bigphoto/0.jpg", "Range: bytes=8388000-\r\nIf-Range: " + ETag("bigphoto", 0, true) + "\r\n"),
         "HTTP/1.1 206 Partial Content",
         {{"Content-Range", "bytes 8388000-8388607/" + big}, {"Content-Length", "608"}, {"Connection", "keep-alive"}},
         size_t(-1), 5000, bodyIs(Jpeg("bigphoto", 0, true).substr(8388000))},
        {"bigphoto photo 0 resumed by date", get("/photos/bigphoto/0.jpg", "Range: bytes=8388600-\r\nIf-Range: " + lm + "\r\n"),
         "HTTP/1.1 206 Partial Content", {{"Content-Range", "bytes 8388600-8388607/" + big}}, size_t(-1), 5000,
         bodyIs(Jpeg("bigphoto", 0, true).substr(8388600))},
        {"bigphoto photo 0 with a stale validator", get("/photos/bigphoto/0.jpg", "Range: bytes=8388600-\r\nIf-Range: \"0\"\r\n"),
         "HTTP/1.1 200 OK", {{"Content-Length", big}, {"Content-Range", Absent}}, 1000, 5000, nullptr},
        {"bigphoto photo 0 past its end", get("/photos/bigphoto/0.jpg", "Range: bytes=" + big + "-\r\n"),
         "HTTP/1.1 416 Range Not Satisfiable", {{"Content-Range", "bytes */" + big}}},
        {"norange photo 0 ignores Range", get("/photos/norange/0.jpg", "Range: bytes=100-\r\nIf-Range: " + ETag("norange", 0, true) + "\r\n"),
         "HTTP/1.1 200 OK",
         {{"Content-Length", big}, {"Accept-Ranges", "none"}, {"ETag", ETag("norange", 0, true)}, {"Last-Modified", lm},
          {"Content-Range", Absent}},
         1000, 5000, [](TTestConnection&, const TTestReply& r, long) { EXPECT_EQ(r.Body, Jpeg("norange", 0, true).substr(0, 1000)); }},
        {"redirscheme photo 1", get("/photos/redirscheme/1.jpg"), "HTTP/1.1 302 Found", {{"Location", "file:///etc/passwd"}}},
        {"redirscheme photo 2", get("/photos/redirscheme/2.jpg"), "HTTP/1.1 302 Found", {{"Location", "ftp://127.0.0.1/x.jpg"}}},
        {"redirscheme photo 3", get("/photos/redirscheme/3.jpg"), "HTTP/1.1 302 Found", {{"Location", "javascript:alert(1)"}}},
        {"redirscheme photo 0", get("/photos/redirscheme/0.jpg"), "HTTP/1.1 200 OK", {}, size_t(-1), 5000, startsJpeg},
        {"nonhttp XML addresses", get("/xml?nonhttp"), "HTTP/1.1 200 OK", {}, size_t(-1), 5000,
         [address](TTestConnection&, const TTestReply& r, long) {
             for (std::string path : {"http://" + address + "/photos/nonhttp/0.jpg", std::string("file:///etc/passwd"),
                                      std::string("ftp://127.0.0.1/1.jpg"), "https://" + address + "/photos/nonhttp/2.jpg"})
                 EXPECT_NE(r.Body.find("<image path=\"" + path + "\""), std::string::npos) << path;
         }},
        {"ctrltitle page title", get("/album/ctrltitle.html"), "HTTP/1.1 200 OK", {}, size_t(-1), 5000,
         [](TTestConnection&, const TTestReply& r, long) {
             EXPECT_NE(r.Body.find("<title>\x1b[31m红字\r标题\a - "), std::string::npos);
         }},
        {"ctrltitle XML path with an escape", get("/xml?ctrltitle"), "HTTP/1.1 200 OK", {}, size_t(-1), 5000,
         [address](TTestConnection&, const TTestReply& r, long) {
             EXPECT_NE(r.Body.find("<image path=\"http://" + address + "/photos/ctrltitle/1.jpg?v=\x1b[0m\""),
                       std::string::npos);
         }},
        {"ctrltitle photo 1 with its escape encoded", get("/photos/ctrltitle/1.jpg?v=%1B[0m"), "HTTP/1.1 200 OK", {},
         size_t(-1), 5000, bodyIs(Jpeg("ctrltitle", 1))},
        {"noaudio music is HTML", get("/music/noaudio.mp3"), "HTTP/1.1 200 OK",
         {{"Content-Type", "text/html; charset=utf-8"}}},
        {"trickle20 page", get("/album/trickle20.html"), "HTTP/1.1 200 OK",
         {{"Content-Length", Absent}, {"Connection", "close"}}, 10, 5000, trickles},
        {"trickle20 photo 1", get("/photos/trickle20/1.jpg"), "HTTP/1.1 200 OK",
         {{"Content-Type", "image/jpeg"}, {"Content-Length", Absent}, {"Connection", "close"}}, 10, 5000, trickles},
        {"trickle20 photo 0", get("/photos/trickle20/0.jpg"), "HTTP/1.1 200 OK", {}, size_t(-1), 5000,
         bodyIs(Jpeg("trickle20", 0))},
        {"sp ace: found as sp%20ace", get("/xml?sp%20ace"), "HTTP/1.1 200 OK", {}, size_t(-1), 5000,
         [address](TTestConnection&, const TTestReply& r, long) {
             EXPECT_NE(r.Body.find("<image path=\"http://" + address + "/photos/sp%20ace/2.jpg\""), std::string::npos);
         }},
        {"sp ace: not as sp+ace", get("/xml?sp+ace"), "HTTP/1.1 404 Not Found", {}},
        {"sp ace: a raw blank", get("/xml?sp ace"), "HTTP/1.1 400 Bad Request", {{"Connection", "close"}}},
        {"sp ace: its page", get("/album/sp%20ace.html"), "HTTP/1.1 200 OK", {}, size_t(-1), 5000,
         [](TTestConnection&, const TTestReply& r, long) {
             EXPECT_NE(r.Body.find("code_without_top.html?id=sp ace&"), std::string::npos);
         }},
        {"sp ace: a photo", get("/photos/sp%20ace/1.jpg"), "HTTP/1.1 200 OK", {}, size_t(-1), 5000,
         bodyIs(Jpeg("sp ace", 1))},
        {"redirhttps page", get("/album/redirhttps.html"), "HTTP/1.1 302 Found",
         {{"Location", "https://127.0.0.1:" + address.substr(address.find(':') + 1) + "/album/spring12.html"}}},
        {"redirftp page", get("/album/redirftp.html"), "HTTP/1.1 302 Found", {{"Location", "ftp://127.0.0.1/album.html"}}},
        // Every photo honours Range, faults or not.
        {"spring12 photo 3 resumed", get("/photos/spring12/3.jpg", "Range: bytes=100-\r\n"), "HTTP/1.1 206 Partial Content",
         {{"Content-Range", "bytes 100-" + std::to_string(Jpeg("spring12", 3).size() - 1) + "/" +
                                std::to_string(Jpeg("spring12", 3).size())}},
         size_t(-1), 5000, bodyIs(Jpeg("spring12", 3).substr(100))},
        {"slow photo 1 resumed near its end", get("/photos/slow/1.jpg", "Range: bytes=-50\r\nIf-Range: " + ETag("slow", 1) + "\r\n"),
         "HTTP/1.1 206 Partial Content", {}, size_t(-1), 5000, bodyIs(Jpeg("slow", 1).substr(Jpeg("slow", 1).size() - 50))},
    };
    return cases;
}

class SiteHostile : public ::testing::TestWithParam<bool> {};

INSTANTIATE_TEST_SUITE_P(Transports, SiteHostile, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "Poll" : "WSocket"; });

TEST_P(SiteHostile, EveryAlbumShowsItsFault) {
    TSiteOptions o = TDemoSiteThread::Loopback();
    o.UsePollTransport = GetParam();
    TDemoSiteThread site(o);
    for (const THostileCase& c : Cases(site.Address())) {
        SCOPED_TRACE(c.Name);
        TTestConnection conn(site.Site().Port());
        ASSERT_TRUE(conn.Send(c.Request));
        auto start = TTestClock::now();
        TTestReply r = conn.Read(c.MaxBody, c.TimeoutMs);
        long ms = MillisecondsSince(start);
        EXPECT_EQ(r.StatusLine, c.StatusLine);
        for (const auto& h : c.Headers) {
            if (h.second == Absent)
                EXPECT_FALSE(r.Has(h.first)) << h.first;
            else
                EXPECT_EQ(r.Header(h.first), h.second) << h.first;
        }
        if (c.Check) c.Check(conn, r, ms);
    }
}

constexpr bool BuiltWithAddressSanitizer() {
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#else
    return false;
#endif
#else
    return false;
#endif
}

TEST_P(SiteHostile, EndlessAnswersDoNotGrowTheSite) {
    // The filler the site repeats is one shared block: a long run hands out the same bytes.
    TSiteOptions o = TDemoSiteThread::Loopback();
    o.UsePollTransport = GetParam();
    TDemoSiteThread site(o);
    long before = 0, after = 0;
    auto rss = [] {
        long pages = 0, resident = 0;
        FILE* f = std::fopen("/proc/self/statm", "r");
        if (f && std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        if (f) std::fclose(f);
        return resident * (::sysconf(_SC_PAGESIZE) / 1024);  // KB
    };
    TTestConnection page(site.Site().Port()), xml(site.Site().Port());
    ASSERT_TRUE(page.Send(RequestText("/album/hugepage.html")));
    ASSERT_TRUE(xml.Send(RequestText("/xml?hugexml")));
    EXPECT_EQ(page.Read(1 << 20).Body.size(), size_t(1) << 20);
    EXPECT_EQ(xml.Read(1 << 20).Body.size(), size_t(1) << 20);
    before = rss();
    // 64 MB more through each, read and dropped in small steps.
    for (int i = 0; i < 64; ++i) {
        EXPECT_EQ(page.ReadFor(5000, 1 << 20).size(), size_t(1) << 20);
        EXPECT_EQ(xml.ReadFor(5000, 1 << 20).size(), size_t(1) << 20);
    }
    after = rss();
    // AddressSanitizer keeps freed blocks in quarantine, so resident memory grows with
    // every buffer freed there; the bound says nothing in such a build.
    if (!BuiltWithAddressSanitizer()) {
        EXPECT_LT(after - before, 16 * 1024) << before << " KB before, " << after << " KB after";
    }
}

}  // namespace
