// The demo site's pages and XML read through the program's own engine and patterns: the
// album-page pattern finds every album's title and id, and the parser's patterns find its
// photos and music, so the site really plays the program's external interfaces.
#include "demo/SiteAlbums.h"
#include "regex/RegExpr.h"

#include <gtest/gtest.h>

namespace {

const std::string Site = "127.0.0.1:18690";
const char* const PagePattern = "<title>(.*?) .*?code_without_top.html\\?id=(.*?)&";

TEST(SitePatterns, EveryAlbumPageAndXmlMatchesTheProgramsPatterns) {
    for (const TDemoAlbum& a : DemoAlbums()) {
        SCOPED_TRACE(a.Id);
        TRegExpr page;
        page.SetExpression(PagePattern);
        ASSERT_TRUE(page.Exec(AlbumPageHtml(Site, a)));
        EXPECT_EQ(page.GroupText(1), a.LeadingBlank ? "" : a.Title);
        EXPECT_EQ(page.GroupText(2), a.Id);

        const std::string xml = AlbumXml(Site, a);
        TRegExpr images;
        images.SetExpression("<image path=\"(.*?)\"");
        int n = 0;
        for (bool found = images.Exec(xml); found; found = images.ExecNext()) {
            EXPECT_EQ(images.GroupText(1), XmlPhotoUrl(Site, a, n));
            ++n;
        }
        EXPECT_EQ(n, a.PhotoCount);
        TRegExpr song;
        song.SetExpression("song=\"(.*?)\"");
        ASSERT_EQ(song.Exec(xml), a.HasMusic);
        if (a.HasMusic) {
            EXPECT_EQ(song.GroupText(1), "http://" + Site + MusicPath(a));
        }
    }
}

TEST(SitePatterns, IndexAndPlayerPagesDoNotLookLikeAlbumPages) {
    // Only album pages carry the title-and-id shape; the index must not start a run.
    TRegExpr page;
    page.SetExpression(PagePattern);
    EXPECT_FALSE(page.Exec(IndexHtml(Site)));
    EXPECT_FALSE(page.Exec(InfoPageHtml(Site)));
}

}  // namespace
