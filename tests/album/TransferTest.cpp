// parser transfers against the demo site on loopback: FetchText (HTTP client),
// PostToFile (threaded getter) and ParseAlbum end to end.
#include "album/commonFunc.h"
#include "album/parser.h"
#include "demo/DemoSite.h"
#include "demo/SiteMedia.h"
#include "platform/rtl/FileSys.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string ReadFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

std::string TempFile(const std::string& name) { return PrivateTempDir() + name; }

// A port with nothing listening: a site is started, its port noted, the site stopped.
int ClosedPort() {
    TDemoSiteThread site;
    return site.Site().Port();
}

class Transfers : public ::testing::Test {
protected:
    TDemoSiteThread Site;
};

TEST_F(Transfers, FetchTextReturnsTheDocumentWithCrLfLines) {
    TTransferOutcome outcome;
    std::string file = TempFile("xml.txt");
    std::string text = TBaseAlbumParser::FetchText(Site.Url("/xml?oddtitle"), file, &outcome);
    EXPECT_TRUE(outcome.Success);
    EXPECT_EQ(outcome.StatusCode, 200);
    std::string raw = ReadFile(file);
    EXPECT_EQ(raw.rfind("<?xml", 0), 0u);
    // The file holds the body as sent (LF lines); the text has every line end as CR LF.
    std::string expected;
    for (char c : raw) expected += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_EQ(text, expected);
}

TEST_F(Transfers, FetchTextReportsFailuresWithoutRaising) {
    struct TCase { std::string url; int status; };
    const TCase cases[] = {
        {Site.Url("/xml?nosuchalbum"), 404},
        {Site.Url("/nothing-here"), 404},
        {"http://127.0.0.1:" + std::to_string(ClosedPort()) + "/xml?spring12", 404},  // refused
    };
    for (const TCase& c : cases) {
        TTransferOutcome outcome;
        std::string text;
        EXPECT_NO_THROW(text = TBaseAlbumParser::FetchText(c.url, TempFile("fail.txt"), &outcome)) << c.url;
        EXPECT_FALSE(outcome.Success) << c.url;
        EXPECT_EQ(outcome.StatusCode, c.status) << c.url;
        EXPECT_FALSE(outcome.ErrorText.empty()) << c.url;
        // Whatever reached the file is what the text holds (here: part of an error page or nothing).
        EXPECT_EQ(text.empty(), ReadFile(TempFile("fail.txt")).empty()) << c.url;
    }
}

TEST_F(Transfers, FetchTextUsesTheScratchFileAndRaisesWhenTheFileCannotBeMade) {
    TBaseAlbumParser::FetchText(Site.Url("/xml?empty0"), "");
    EXPECT_NE(ReadFile(ScratchFileName()).find("id=\"empty0\""), std::string::npos);
    EXPECT_THROW(TBaseAlbumParser::FetchText(Site.Url("/xml?empty0"), "/nonexistent-dir/x.txt"),
                 EFCreateError);
    // No request was made for the file that could not be created.
    EXPECT_EQ(Site.Site().Requests().size(), 1u);
}

TEST_F(Transfers, FetchTextSavesBinaryMusic) {
    TTransferOutcome outcome;
    std::string file = TempFile("background.mp3");
    TBaseAlbumParser::FetchText(Site.Url("/music/spring12.mp3"), file, &outcome);
    EXPECT_TRUE(outcome.Success);
    EXPECT_EQ(ReadFile(file), SilentMp3());
}

TEST_F(Transfers, PostToFileResultIsTheTransfersOwnOutcome) {
    struct TCase { std::string path; bool ok; };
    const TCase cases[] = {
        {"/photos/spring12/0.jpg", true},
        {"/photos/missing404/2.jpg", false},  // an error page is no photo
        {"/photos/cutoff/3.jpg", false},      // the body stops short of its length
        {"/photos/slow/0.jpg", true},
    };
    for (const TCase& c : cases) {
        std::string file = TempFile("photo.jpg");
        EXPECT_EQ(TBaseAlbumParser::PostToFile(Site.Url(c.path), file, ""), c.ok) << c.path;
    }
    std::string file = TempFile("good.jpg");
    ASSERT_TRUE(TBaseAlbumParser::PostToFile(Site.Url("/photos/night40/5.jpg"), file, ""));
    EXPECT_EQ(ReadFile(file), *DemoPhotoJpeg("night40", 5));
    std::string refused = "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/photos/spring12/0.jpg";
    EXPECT_FALSE(TBaseAlbumParser::PostToFile(refused, TempFile("refused.jpg"), ""));
    EXPECT_FALSE(TBaseAlbumParser::PostToFile(Site.Url("/photos/spring12/0.jpg"),
                                              "/nonexistent-dir/0.jpg", ""));
}

TEST_F(Transfers, PostToFilePostsTheReportAsFormData) {
    const std::string query = "source_url=" + UrlEncode("http://x/a b", true) +
                              "&music=&title=" + UrlEncode("春日花园", true) + "&version=KV1.0";
    std::string answer = TempFile("report.txt");
    EXPECT_TRUE(TBaseAlbumParser::PostToFile(Site.Url("/owlmere/skyfen/log.php"), answer, query));
    EXPECT_EQ(Site.Site().Reports(), std::vector<std::string>{query});
    EXPECT_EQ(ReadFile(answer), "ok");
}

TEST_F(Transfers, ParseAlbumEndToEnd) {
    TTavoAlbumParser parser;
    TPhotoList photos = parser.ParseAlbum(Site.Url("/xml?spring12"));
    EXPECT_TRUE(parser.XmlFetchOutcome().Success);
    ASSERT_EQ(photos.size(), 12u);
    EXPECT_EQ(photos[11]->ImagePath(), Site.Url("/photos/spring12/11.jpg"));
    EXPECT_EQ(parser.MusicUrl(), Site.Url("/music/spring12.mp3"));

    TTavoAlbumParser empty;
    EXPECT_TRUE(empty.ParseAlbum(Site.Url("/xml?empty0")).empty());
    EXPECT_TRUE(empty.XmlFetchOutcome().Success);  // an empty album, not a failure
    EXPECT_TRUE(empty.MusicUrl().empty());

    TTavoAlbumParser missing;
    EXPECT_TRUE(missing.ParseAlbum(Site.Url("/xml?nosuchalbum")).empty());
    EXPECT_FALSE(missing.XmlFetchOutcome().Success);
    EXPECT_EQ(missing.XmlFetchOutcome().StatusCode, 404);
}

}  // namespace
