// parser: scraping of the album XML (table-driven), without a network.
#include "album/commonFunc.h"
#include "album/parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Collects the status texts a parser shows.
class TStatusRecorder {
public:
    explicit TStatusRecorder(TTavoAlbumParser& parser) {
        parser.OnStatus = [this](const std::string& t) { Texts.push_back(t); };
    }
    int Count(const std::string& text) const {
        int n = 0;
        for (const auto& t : Texts) n += t == text;
        return n;
    }
    std::vector<std::string> Texts;
};

const std::string MusicFound = "成功获取到背景音乐信息...";
const std::string PhotoFound = "成功获取到相册图片信息...";

std::vector<std::string> Paths(const TPhotoList& list) {
    std::vector<std::string> out;
    for (const auto& p : list) out.push_back(p->ImagePath());
    return out;
}

TEST(TavoAlbumParser, ReadsSongAndImagesAsWritten) {
    struct TCase {
        const char* name;
        std::string xml;
        std::string music;
        bool musicShown;
        std::vector<std::string> photos;
    };
    const TCase cases[] = {
        {"realistic with song",
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<album id=\"7\" song=\"http://h/m.mp3\">\r\n"
         "  <image path=\"http://h/p/0.jpg\" title=\"a\"/>\r\n  <image path=\"http://h/p/1.jpg\"/>\r\n"
         "</album>\r\n",
         "http://h/m.mp3", true, {"http://h/p/0.jpg", "http://h/p/1.jpg"}},
        {"no song", "<album><image path=\"a\"/></album>", "", false, {"a"}},
        {"two songs: the first", "<a song=\"one\"><b song=\"two\"/></a>", "one", true, {}},
        {"empty song still shown", "<a song=\"\"><image path=\"x\"/></a>", "", true, {"x"}},
        {"longer attribute name ending in song", "<a bgsong=\"m\"/>", "m", true, {}},
        {"zero images", "<album song=\"m\"></album>", "m", true, {}},
        {"empty document", "", "", false, {}},
        {"two blanks or another attribute first are no photos",
         "<image  path=\"no1\"/><image id=\"1\" path=\"no2\"/><image path=\"yes\"/>", "", false, {"yes"}},
        {"case-sensitive", "<IMAGE PATH=\"no\"/><a SONG=\"no\"/>", "", false, {}},
        {"entities are not decoded", "<image path=\"a?x=1&amp;y=2\"/>", "", false, {"a?x=1&amp;y=2"}},
        {"unterminated value is no photo", "<image path=\"http://h/p/0.jpg", "", false, {}},
        {"multibyte values", "<image path=\"http://h/图/0.jpg\"/>", "", false, {"http://h/图/0.jpg"}},
        {"value spans a line break", "<image path=\"a\r\nb\"/>", "", false, {"a\r\nb"}},
        {"text stops at NUL", std::string("<image path=\"a\"/>\0<image path=\"b\"/>", 36), "", false, {"a"}},
    };
    for (const TCase& c : cases) {
        TTavoAlbumParser parser;
        TStatusRecorder status(parser);
        TPhotoList photos = parser.ParseAlbumXml(c.xml);
        EXPECT_EQ(parser.MusicUrl(), c.music) << c.name;
        EXPECT_EQ(status.Count(MusicFound), c.musicShown ? 1 : 0) << c.name;
        EXPECT_EQ(Paths(photos), c.photos) << c.name;
        EXPECT_EQ(status.Count(PhotoFound), int(c.photos.size())) << c.name;
    }
}

TEST(TavoAlbumParser, ManyImagesInDocumentOrderWithFreshRecords) {
    std::string xml = "<album song=\"s\">\n";
    for (int i = 0; i < 250; ++i) xml += "<image path=\"http://h/" + std::to_string(i) + ".jpg\"/>\n";
    TTavoAlbumParser parser;
    TPhotoList photos = parser.ParseAlbumXml(xml + "</album>\n");
    ASSERT_EQ(photos.size(), 250u);
    for (int i = 0; i < 250; ++i) {
        EXPECT_EQ(photos[i]->ImagePath(), "http://h/" + std::to_string(i) + ".jpg");
        EXPECT_EQ(photos[i]->Reserved1, 0);
        EXPECT_TRUE(photos[i]->ReservedText6.empty());
    }
}

}  // namespace
