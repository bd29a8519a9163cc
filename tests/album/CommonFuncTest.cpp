// commonFunc: file-name sanitiser, album folder rule and percent-encoder, table-driven.
#include "album/commonFunc.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct TCase {
    std::string in;
    std::string out;
};

TEST(SafeFileName, ReplacesTheEightCharactersAndControlBytes) {
    const TCase cases[] = {
        {"a/b\\c?d", "a_b_c_d"},
        {"x:y|z", "x:y|z"},                   // colon and bar stay
        {"it's \"q\"", "it_s _q_"},           // apostrophe and double quote
        {"*<>", "___"},
        {"", ""},
        {"春日花园", "春日花园"},              // multibyte text untouched
        {"旅行/日记?Tom's", "旅行_日记_Tom_s"},
        {std::string("a\0b", 3), "a_b"},      // NUL
        {"tab\there\nnl\r", "tab_here_nl_"},
        {"del\x7f", "del_"},
        {"\x1f\x20", "_ "},                   // 31 goes, blank stays
        {"...", "..."},                       // dots are the folder rule's business
    };
    for (const TCase& c : cases) {
        EXPECT_EQ(SafeFileName(c.in), c.out) << c.in;
        EXPECT_EQ(SafeFileName(c.in).size(), c.in.size());
    }
}

TEST(AlbumFolderName, FallsBackToAlbumIdForEmptyDotsAndBlanks) {
    struct TFolderCase { std::string title, id, folder; };
    const TFolderCase cases[] = {
        {"春日花园", "spring12", "春日花园"},
        {"", "blanktitle", "album_blanktitle"},
        {".", "x", "album_x"},
        {"..", "x", "album_x"},
        {"...", "dots", "album_dots"},
        {" . ", "x", "album_x"},
        {"   ", "x", "album_x"},
        {"..a", "x", "..a"},
        {"", "../up", "album_.._up"},        // the id is sanitised too
        {"", "", "album_"},
        {"a/b", "x", "a_b"},                  // an unsanitised title is sanitised here
        // Former bugs: the cut went back over any run of continuation bytes, which emptied
        // the name or left "..", and the dots test came before the cut.
        {std::string(250, '\x80'), "x", std::string(200, '\x80')},
        {".." + std::string(250, '\x80'), "x", ".." + std::string(198, '\x80')},
        {std::string(200, '.') + "x", "x", "album_x"},
        {"a" + std::string(250, '\x80'), "x", "a" + std::string(199, '\x80')},
    };
    for (const auto& c : cases) EXPECT_EQ(AlbumFolderName(c.title, c.id), c.folder) << c.title;
}

TEST(AlbumFolderName, LongTitleIsCutAtCharacterBoundary) {
    std::string title;
    for (int i = 0; i < 100; ++i) title += "图";  // 3 bytes each
    std::string folder = AlbumFolderName(title, "x");
    EXPECT_LE(folder.size(), MaxFolderNameBytes);
    EXPECT_EQ(folder.size() % 3, 0u);
    EXPECT_EQ(folder, title.substr(0, folder.size()));
}

TEST(UrlEncode, EncodesByteByByte) {
    struct TEncCase { std::string in; bool plus; std::string out; };
    const TEncCase cases[] = {
        {"a b~", true, "a+b%7E"},
        {"a b~", false, "a%20b%7E"},
        {"A-Z.a_z09", true, "A-Z.a_z09"},
        {"", true, ""},
        {"\n", true, "%0A"},
        {"*", false, "%2A"},
        {"\xB0\xA1", true, "%B0%A1"},               // a two-byte character: two groups
        {"春", true, "%E6%98%A5"},
        {"http://h:1/p?a=b&c", true, "http%3A%2F%2Fh%3A1%2Fp%3Fa%3Db%26c"},
        {std::string("\0\xff", 2), false, "%00%FF"},
        {"+%", true, "%2B%25"},
    };
    for (const auto& c : cases) EXPECT_EQ(UrlEncode(c.in, c.plus), c.out) << c.in;
}

TEST(ScratchFile, LivesInThePrivateTempFolder) {
    std::string f = ScratchFileName();
    EXPECT_NE(f.find("/albrivo-"), std::string::npos);
    EXPECT_EQ(f.substr(f.size() - 6), "/1.txt");
}

}  // namespace
