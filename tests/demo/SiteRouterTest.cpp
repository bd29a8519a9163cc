// Demo site router: the answer for every album and every endpoint, without sockets.
#include "demo/SiteAlbums.h"
#include "demo/SiteMedia.h"
#include "demo/SiteRange.h"
#include "demo/SiteRouter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

namespace {

const std::string Site = "127.0.0.1:18690";

TSiteRequest Get(const std::string& target, const std::string& method = "GET") {
    TSiteRequest r;
    r.Method = method;
    size_t q = target.find('?');
    r.Path = target.substr(0, q);
    r.Query = q == std::string::npos ? "" : target.substr(q + 1);
    r.Version = "HTTP/1.0";
    return r;
}

std::string Body(const TSiteResponse& r) { return r.Body ? *r.Body : std::string(); }

// The album-page pattern, with "." spelled [\s\S] because std::regex's dot stops at line
// breaks where the program's engine does not.
const std::regex PagePattern(R"(<title>([\s\S]*?) [\s\S]*?code_without_top.html\?id=([\s\S]*?)&)");
const std::regex SongPattern("song=\"(.*?)\"");
const std::regex ImagePattern("<image path=\"(.*?)\"");

std::vector<std::string> ImagePaths(const std::string& xml) {
    std::vector<std::string> out;
    for (std::sregex_iterator it(xml.begin(), xml.end(), ImagePattern), end; it != end; ++it)
        out.push_back((*it)[1]);
    return out;
}

std::string Header(const TSiteResponse& r, const std::string& name) {
    for (const auto& h : r.Headers)
        if (h.first == name) return h.second;
    return "";
}

// Whether photo I of album A is served as a plain photo (no per-photo fault of its own).
bool PlainPhoto(const TDemoAlbum& a, int i) {
    using F = TAlbumFault;
    if (a.Fault == F::RedirScheme) return i == 0;
    for (F f : {F::Missing, F::HtmlPhoto, F::TextPhoto, F::RateLimit, F::Busy, F::Stall, F::Trickle20})
        if (a.Faulty(f, i)) return false;
    return true;
}

TEST(SiteRouter, EveryAlbumPageXmlPhotoAndMusic) {
    TSiteRouter router(Site);
    for (const TDemoAlbum& a : DemoAlbums()) {
        SCOPED_TRACE(a.Id);
        using F = TAlbumFault;
        TSiteResponse page = router.Handle(Get(AlbumPagePath(a)));
        if (a.Fault == F::PageToHttps || a.Fault == F::PageToFtp) {
            EXPECT_EQ(page.Status, 302);
            continue;
        }
        ASSERT_EQ(page.Status, 200);
        std::smatch m;
        std::string html = Body(page);
        ASSERT_TRUE(std::regex_search(html, m, PagePattern));
        EXPECT_EQ(m[1].str(), a.LeadingBlank ? "" : a.Title);
        EXPECT_EQ(m[2].str(), a.Id);

        TSiteResponse xml = router.Handle(Get("/xml?" + PercentEncode(a.Id)));
        ASSERT_EQ(xml.Status, 200);
        if (a.Fault == F::EndlessXml) continue;
        std::string text = Body(xml);
        auto paths = ImagePaths(text);
        ASSERT_EQ(int(paths.size()), a.PhotoCount);
        for (int i = 0; i < a.PhotoCount; ++i) {
            ASSERT_EQ(paths[i], XmlPhotoUrl(Site, a, i));
            // Every photo path answers; the plain ones with the photo, and with a range of it.
            TSiteRequest q = Get(PhotoPath(a, i));
            TSiteResponse photo = router.Handle(q);
            if (!PlainPhoto(a, i)) continue;
            EXPECT_EQ(photo.Status, 200) << i;
            EXPECT_EQ(Header(photo, "Content-Type"), "image/jpeg");
            EXPECT_EQ(Body(photo).substr(0, 3), "\xFF\xD8\xFF");
            EXPECT_EQ(Header(photo, "ETag"), ContentETag(Body(photo)));
            bool cut = a.Faulty(F::CutOff, i);
            EXPECT_EQ(photo.CloseAfterBodyBytes, cut ? photo.BodySize() / 2 : -1);
            EXPECT_EQ(photo.TrickleBytes > 0, a.Fault == F::Trickle || a.Faulty(F::BigPhoto, i) ||
                                                  a.Faulty(F::BigPhotoNoRange, i));
            q.Headers.emplace_back("Range", "bytes=10-");
            q.Headers.emplace_back("If-Range", Header(photo, "ETag"));
            TSiteResponse part = router.Handle(q);
            bool ranges = a.Fault != F::BigPhotoNoRange;
            EXPECT_EQ(part.Status, ranges ? 206 : 200) << i;
            EXPECT_EQ(part.BodySize(), photo.BodySize() - (ranges ? 10 : 0)) << i;
        }
        std::smatch song;
        ASSERT_EQ(std::regex_search(text, song, SongPattern), a.HasMusic);
        TSiteResponse music = router.Handle(Get(MusicPath(a)));
        EXPECT_EQ(music.Status, a.HasMusic ? 200 : 404);
        if (a.HasMusic && a.Fault != F::NotAudio) {
            EXPECT_EQ(song[1].str(), "http://" + Site + MusicPath(a));
            EXPECT_EQ(Body(music), SilentMp3());
        }
    }
}

TEST(SiteRouter, FirstRequestFaultsStrikeOncePerSite) {
    struct TCase { const char* path; int first; };
    const TCase cases[] = {{"/photos/ratelimit/2.jpg", 429}, {"/photos/busy503/1.jpg", 503}};
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.path);
        TSiteRouter one(Site), two(Site);
        EXPECT_EQ(one.Handle(Get(c.path)).Status, c.first);
        EXPECT_EQ(one.Handle(Get(c.path)).Status, 200);
        EXPECT_EQ(one.Handle(Get(c.path)).Status, 200);
        EXPECT_EQ(two.Handle(Get(c.path)).Status, c.first);  // another site starts afresh
    }
}

TEST(SiteRouter, CatalogueCoversTheRunsTheProgramMustSurvive) {
    const TDemoAlbum* sample = FindDemoAlbum(SampleAlbumId);
    ASSERT_NE(sample, nullptr);
    EXPECT_EQ(sample->PhotoCount, 12);
    EXPECT_TRUE(sample->HasMusic);
    std::vector<int> counts;
    for (const auto& a : DemoAlbums()) counts.push_back(a.PhotoCount);
    for (int n : {40, 0, 200}) EXPECT_NE(std::find(counts.begin(), counts.end(), n), counts.end());
    // The hostile albums, one fault each, with the photo counts their tests rely on.
    struct TCase { const char* id; int photos; };
    const TCase hostile[] = {{"htmlphoto", 4}, {"textphoto", 3}, {"ratelimit", 6}, {"busy503", 4},
                             {"stall", 3}, {"hugepage", 0}, {"hugexml", 0}, {"bigphoto", 2},
                             {"norange", 2}, {"redirscheme", 4}, {"nonhttp", 4}, {"ctrltitle", 2},
                             {"noaudio", 2}, {"trickle20", 2}, {"sp ace", 3}, {"redirhttps", 0},
                             {"redirftp", 0}};
    for (const TCase& c : hostile) {
        const TDemoAlbum* a = FindDemoAlbum(c.id);
        ASSERT_NE(a, nullptr) << c.id;
        EXPECT_EQ(a->PhotoCount, c.photos) << c.id;
        EXPECT_FALSE(a->Note.empty()) << c.id;
    }
    EXPECT_EQ(FindDemoAlbum("oddtitle")->Title.find_first_of("/?'") != std::string::npos, true);
    EXPECT_EQ(FindDemoAlbum("dots")->Title, "...");
}

TEST(SiteRouter, OtherEndpointsAndErrors) {
    TSiteRouter router(Site);
    struct TCase { std::string method, target; int status; std::string contentType; };
    const TCase cases[] = {
        {"GET", "/", 200, "text/html; charset=utf-8"},
        {"GET", "/owlmere/skyfen/app_info.php?app=tavophotos", 200, "text/html; charset=utf-8"},
        {"GET", "/app/ruvoviveduzude/i.php?a=getlinks", 200, "text/plain; charset=utf-8"},
        {"GET", "/code_without_top.html?id=spring12&type=album", 200, "text/html; charset=utf-8"},
        {"GET", "/app/ruvoviveduzude/i.php", 404, ""},
        {"GET", "/xml?nosuchalbum", 404, ""},
        {"GET", "/xml", 404, ""},
        {"GET", "/album/nosuch.html", 404, ""},
        {"GET", "/photos/spring12/12.jpg", 404, ""},   // one past the end
        {"GET", "/photos/spring12/01.jpg", 404, ""},   // leading zero
        {"GET", "/photos/spring12/-1.jpg", 404, ""},
        {"GET", "/photos/spring12", 404, ""},
        {"GET", "/photos/../etc/passwd", 404, ""},
        {"GET", "/music/night40.mp3", 404, ""},        // no music
        {"GET", "/owlmere/skyfen/log.php", 405, ""},
        {"POST", "/xml?spring12", 405, ""},
        {"PUT", "/", 501, ""},
    };
    for (const TCase& c : cases) {
        TSiteResponse r = router.Handle(Get(c.target, c.method));
        EXPECT_EQ(r.Status, c.status) << c.method << " " << c.target;
        if (!c.contentType.empty()) {
            EXPECT_EQ(r.Headers.at(0).second, c.contentType) << c.target;
        }
    }
    TSiteResponse head = router.Handle(Get("/", "HEAD"));
    EXPECT_TRUE(head.HeadOnly);
    EXPECT_EQ(head.Status, 200);
}

TEST(SiteRouter, IndexListsEveryAlbumPage) {
    TSiteRouter router(Site);
    std::string html = Body(router.Handle(Get("/")));
    for (const auto& a : DemoAlbums()) {
        EXPECT_NE(html.find(AlbumPageUrl(Site, a)), std::string::npos) << a.Id;
        EXPECT_NE(html.find(HtmlEscape(a.Note)), std::string::npos) << a.Id;
    }
}

TEST(SiteRouter, LinkListHoldsFiveCaptionAddressPairs) {
    TSiteRouter router(Site);
    std::string text = Body(router.Handle(Get("/app/ruvoviveduzude/i.php?a=getlinks")));
    std::vector<std::string> pieces;
    size_t pos = 0;
    for (size_t bar; (bar = text.find('|', pos)) != std::string::npos; pos = bar + 1)
        pieces.push_back(text.substr(pos, bar - pos));
    pieces.push_back(text.substr(pos));
    ASSERT_EQ(pieces.size(), 10u);
    for (size_t i = 0; i < 10; i += 2) {
        EXPECT_GE(static_cast<unsigned char>(pieces[i][0]), 0xE4u) << pieces[i];  // Chinese caption
        EXPECT_EQ(pieces[i + 1].rfind("http://" + Site + "/", 0), 0u) << pieces[i + 1];
    }
}

TEST(SiteRouter, HostHeaderNamesTheAddressesUnlessItLooksOdd) {
    TSiteRouter router(Site);
    TSiteRequest r = Get("/xml?spring12");
    r.Headers.emplace_back("Host", "localhost:4242");
    EXPECT_NE(Body(router.Handle(r)).find("http://localhost:4242/photos/spring12/0.jpg"),
              std::string::npos);
    r.Headers[0].second = "localhost";  // no port: the site's own
    EXPECT_NE(Body(router.Handle(r)).find("http://localhost:18690/photos/spring12/0.jpg"),
              std::string::npos);
    r.Headers[0].second = "evil\"><x";
    EXPECT_NE(Body(router.Handle(r)).find("http://" + Site + "/photos/"), std::string::npos);
}

TEST(SiteRouter, ReportsReachOnReportAndTheLogInOrder) {
    std::string file = std::string(::testing::TempDir()) + "tavo-report-test.log";
    {
        TReportLog log(file);
        TSiteRouter router(Site);
        router.OnReport = [&](const std::string& b) { log.Add(b); };
        for (std::string body : {"source_url=a&music=&title=t&version=KV1.0", "second", "x\r\ny"}) {
            TSiteRequest r = Get("/owlmere/skyfen/log.php", "POST");
            r.Body = body;
            TSiteResponse answer = router.Handle(r);
            EXPECT_EQ(answer.Status, 200);
        }
        EXPECT_EQ(log.Reports(), (std::vector<std::string>{
                                     "source_url=a&music=&title=t&version=KV1.0", "second", "x%0D%0Ay"}));
    }
    FILE* f = std::fopen(file.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    char buf[256] = {};
    size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    EXPECT_EQ(std::string(buf, n), "source_url=a&music=&title=t&version=KV1.0\nsecond\nx%0D%0Ay\n");
    EXPECT_THROW({ TReportLog bad("/nonexistent-dir/x.log"); }, EFCreateError);
}

}  // namespace
