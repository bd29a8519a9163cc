// The album run against the demo site's hostile albums (one fault each), headless, on a
// free loopback port: answers that are no pictures or no music, addresses that are not
// http, control bytes in titles and values, an album id with a blank, endless pages and
// XML, trickling and stalled transfers stopped at once, busy servers asking for a pause,
// redirects to other schemes. A test whose album the site does not have fails.
#include "demo/SiteAlbums.h"
#include "tests/album/RunFixture.h"

namespace {

#define REQUIRE_ALBUM(id)                                                      \
    do {                                                                       \
        if (!FindDemoAlbum(id)) FAIL() << "the demo site has no album " << (id); \
    } while (0)

class HostileSite : public TRunFixture {};

TEST_F(HostileSite, AnswersThatAreNoPicturesAreFailedTriesNeverSaved) {
    struct TCase { const char* Id; int Photos; int Bad; };
    const TCase cases[] = {{"htmlphoto", 4, 1}, {"textphoto", 3, 2}};
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Id);
        if (!FindDemoAlbum(c.Id)) FAIL() << "the demo site has no album " << c.Id;
        RunAlbum(c.Id);
        std::string folder = Run.AlbumDir(), bad = std::to_string(c.Bad) + ".jpg";
        EXPECT_FALSE(FileExists(folder + bad));
        EXPECT_TRUE(NoPartFiles(folder));
        EXPECT_EQ(RequestCount(std::string("GET /photos/") + c.Id + "/" + bad), 3u);  // retried twice
        EXPECT_EQ(ErrorLog, std::vector<std::string>{"下载失败: " + bad + " (not a picture)"});
        EXPECT_EQ(Run.Result().SavedCount, c.Photos - 1);
        EXPECT_EQ(Run.Result().FailedCount, 1);
    }
}

TEST_F(HostileSite, MusicThatIsTextIsNotSaved) {
    REQUIRE_ALBUM("noaudio");
    RunAlbum("noaudio", true);
    const std::string failed = "相册音乐下载失败: not music (text/html; charset=utf-8)";
    EXPECT_TRUE(Shown(failed));
    EXPECT_EQ(ErrorLog, std::vector<std::string>{failed});
    EXPECT_FALSE(Shown("相册音乐下载完毕!"));
    EXPECT_FALSE(FileExists(Run.AlbumDir() + "background.mp3"));
    EXPECT_TRUE(NoPartFiles(Run.AlbumDir()));
}

// Photo addresses of other schemes are refused; an https one is fetched over TLS only:
// from this plain site its handshake fails, and nothing is asked for in clear.
TEST_F(HostileSite, PhotoAddressesOfOtherSchemesAreRefusedAndHttpsNeedsTls) {
    REQUIRE_ALBUM("nonhttp");
    RunAlbum("nonhttp");
    ASSERT_EQ(ErrorLog.size(), 3u);
    EXPECT_EQ(ErrorLog[0], "下载失败: 1.jpg (不支持的地址: file:///etc/passwd)");
    EXPECT_EQ(ErrorLog[1], "下载失败: 2.jpg (不支持的地址: ftp://127.0.0.1/1.jpg)");
    EXPECT_EQ(ErrorLog[2].rfind("下载失败: 3.jpg (TLS handshake with 127.0.0.1 failed: ", 0), 0u) << ErrorLog[2];
    EXPECT_EQ(Run.Result().FailedCount, 3);
    EXPECT_EQ(Run.Result().SavedCount, 1);
    EXPECT_EQ(RequestCount("GET /photos/nonhttp/"), 1u);  // only photo 0 was asked for
}

TEST_F(HostileSite, RedirectsToOtherSchemesFailThePhoto) {
    REQUIRE_ALBUM("redirscheme");
    RunAlbum("redirscheme");
    std::string folder = Run.AlbumDir();
    EXPECT_TRUE(FileExists(folder + "0.jpg"));
    for (int i = 1; i <= 3; i++) EXPECT_FALSE(FileExists(folder + std::to_string(i) + ".jpg")) << i;
    EXPECT_EQ(Run.Result().FailedCount, 3);
    EXPECT_TRUE(NoPartFiles(folder));
}

TEST_F(HostileSite, ControlBytesInTitlesAndValues) {
    REQUIRE_ALBUM("ctrltitle");
    RunAlbum("ctrltitle");
    // The folder name has no control byte; the address holding an ESC is refused.
    std::string dir = Run.AlbumDir();
    for (char c : dir) EXPECT_FALSE(static_cast<unsigned char>(c) < 32 || c == 127) << dir;
    EXPECT_EQ(Run.Result().PhotoCount, 2);
    EXPECT_EQ(Run.Result().SavedCount + Run.Result().FailedCount, 2);
    EXPECT_EQ(Run.Result().FailedCount, 1);
}

TEST_F(HostileSite, AnAlbumIdWithABlank) {
    REQUIRE_ALBUM("sp ace");
    RunAlbum("sp ace");
    EXPECT_EQ(Run.Result().End, TRunEnd::Completed);
    EXPECT_EQ(Run.Result().SavedCount, 3);
    EXPECT_EQ(RequestCount("GET /xml?sp%20ace "), 1u);
}

TEST_F(HostileSite, EndlessPagesAndXmlFailTheRunAtSixteenMegabytes) {
    struct TCase { const char* Id; const char* Reason; };
    const TCase cases[] = {{"hugepage", "The album page is larger than 16 MB"},
                           {"hugexml", "The album XML is larger than 16 MB"}};
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Id);
        if (!FindDemoAlbum(c.Id)) FAIL() << "the demo site has no album " << c.Id;
        RunAlbum(c.Id);
        EXPECT_EQ(Run.Result().End, TRunEnd::Failed);
        const std::string line = std::string("获取相册信息失败: ") + c.Reason;
        EXPECT_EQ(Log, std::vector<std::string>{line});
        EXPECT_EQ(Statuses.back(), line);
        EXPECT_EQ(Run.Result().Error, line);
        EXPECT_TRUE(Run.Result().Failure == nullptr);
    }
}

TEST_F(HostileSite, StopDuringATricklingPhotoEndsTheRunAtOnce) {
    REQUIRE_ALBUM("trickle20");
    // Straight to the album (its page never ends): photo 1 trickles 20 bytes a second.
    Run.Settings().Jobs = 1;
    OnStatus = [this](const std::string& t) {
        if (t == "正在下载: [2/2] - 1.jpg") StopAfter(300);
    };
    Run.RunSteps([this] { Run.DownloadAlbum("trickle", "trickle20"); });
    ASSERT_NE(StoppedAt, 0u);
    EXPECT_LT(GetTickCount() - StoppedAt, 3000u);  // generous: the cancel takes milliseconds
    EXPECT_EQ(Run.Result().End, TRunEnd::Stopped);
    EXPECT_EQ(Run.Result().SavedCount, 1);
    EXPECT_TRUE(NoPartFiles(Run.AlbumDir()));
    EXPECT_FALSE(FileExists(Run.AlbumDir() + "1.jpg"));
}

TEST_F(HostileSite, StopDuringATricklingPageEndsTheRunAtOnce) {
    REQUIRE_ALBUM("trickle20");
    StopAfter(500);
    RunAlbum("trickle20");
    ASSERT_NE(StoppedAt, 0u);
    EXPECT_LT(GetTickCount() - StoppedAt, 3000u);  // generous: the abort takes milliseconds
    EXPECT_EQ(Run.Result().End, TRunEnd::Stopped);
    EXPECT_TRUE(Run.Result().Error.empty());
    EXPECT_TRUE(Log.empty());
}

// An https page is fetched over TLS only: from this plain site the handshake fails, and
// nothing goes out in clear. Other schemes are refused.
TEST_F(HostileSite, OnlyHttpPagesAreFetched) {
    REQUIRE_ALBUM("redirhttps");
    REQUIRE_ALBUM("redirftp");
    struct TCase { std::string Url; std::string Error; };
    const std::string noTls = "TLS handshake with 127.0.0.1 failed: wrong version number: " + Site.Address();
    const TCase cases[] = {
        {Site.Url("/album/redirhttps.html"), noTls},
        {Site.Url("/album/redirftp.html"), "Unsupported protocol: ftp"},
        {"https://" + Site.Address() + "/album/spring12.html", noTls},
        {"HTTPS://" + Site.Address() + "/album/spring12.html", noTls},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Url);
        size_t before = Mark();
        RunUrl(c.Url);
        EXPECT_EQ(Run.Result().End, TRunEnd::Failed);
        EXPECT_EQ(Run.Result().Error, c.Error);
        EXPECT_TRUE(Run.Result().Failure != nullptr);  // the owner shows it
        EXPECT_EQ(RequestCount("GET /album/spring12.html"), 0u);  // nothing asked for in clear
        // At most the redirecting page, and the handshake the plain site takes for a request.
        EXPECT_LE(Mark() - before, 2u);
    }
}

TEST_F(HostileSite, ABusySiteIsWaitedForThenOnePhotoAtATime) {
    struct TCase { const char* Id; int Bad; int Photos; uint64_t MinWaitMs; };
    // 429 with "Retry-After: 2"; 503 with an HTTP date two seconds ahead (a date has whole
    // seconds, so the wait may be a little shorter).
    const TCase cases[] = {{"ratelimit", 2, 6, 1900}, {"busy503", 1, 4, 900}};
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Id);
        if (!FindDemoAlbum(c.Id)) FAIL() << "the demo site has no album " << c.Id;
        Run.Settings().Jobs = 2;
        uint64_t waitShown = 0, badEnded = 0;
        int inFlightAfterWait = 0;
        OnStatus = [&](const std::string& t) {
            if (t.rfind("服务器繁忙，", 0) == 0 && !waitShown) waitShown = GetTickCount64();
        };
        auto listed = Run.OnPhotoListed;
        Run.OnPhotoListed = [&](int i, const std::string& url) {
            listed(i, url);
            if (waitShown) inFlightAfterWait = std::max(inFlightAfterWait, Run.PhotosInFlight());
        };
        auto finished = Run.OnPhotoFinished;
        Run.OnPhotoFinished = [&](int i, const std::string& file, bool saved) {
            finished(i, file, saved);
            if (i == c.Bad) badEnded = GetTickCount64();
        };
        RunAlbum(c.Id);
        Run.OnPhotoListed = listed;
        Run.OnPhotoFinished = finished;
        EXPECT_EQ(Run.Result().SavedCount, c.Photos);  // the retry after the wait got it
        ASSERT_NE(waitShown, 0u);
        EXPECT_GE(badEnded - waitShown, c.MinWaitMs);
        EXPECT_LT(badEnded - waitShown, 10000u);
        EXPECT_LE(inFlightAfterWait, 1);  // nothing else started while it waited, nor after
    }
}

}  // namespace
