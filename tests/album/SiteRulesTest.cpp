// commonFunc's rules for what a site sends, table-driven: request bytes of the album id,
// addresses the run follows, picture signatures, HTTP dates and Retry-After, and the
// folder album folders go in.
#include "album/commonFunc.h"
#include "platform/rtl/FileSys.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace {

TEST(EncodeRequestBytes, EncodesWhatCannotStandInARequestLine) {
    struct TCase { std::string in, out; };
    const TCase cases[] = {
        {"spring12", "spring12"},
        {"sp ace", "sp%20ace"},
        {"a\tb\r\nc", "a%09b%0D%0Ac"},
        {std::string("x\0y", 3), "x%00y"},
        {"del\x7f", "del%7F"},
        {"春", "%E6%98%A5"},
        {"frag#x", "frag%23x"},
        {"already%20encoded", "already%20encoded"},  // "%" stays
        {"a-b_c.d~e&f=g?h/i:j", "a-b_c.d~e&f=g?h/i:j"},
        {"", ""},
    };
    for (const TCase& c : cases) EXPECT_EQ(EncodeRequestBytes(c.in), c.out) << c.in;
}

TEST(FetchableAddress, OnlyHttpAndHttpsWithoutControlBytes) {
    struct TCase { std::string url, scheme; bool fetchable; };
    const TCase cases[] = {
        {"http://127.0.0.1:80/photos/a/0.jpg", "http", true},
        {"HTTP://h/x.jpg", "http", true},
        {"https://127.0.0.1/p.jpg", "https", true},
        {"ftp://127.0.0.1/1.jpg", "ftp", false},
        {"file:///etc/passwd", "file", false},
        {"javascript:alert(1)", "javascript", false},
        {"//h/x.jpg", "", false},
        {"/photos/a/0.jpg", "", false},
        {"h:80/x", "", false},  // a host and port, no scheme
        {"1http://h/", "", false},
        {"", "", false},
        // former bugs
        {"http://h/\x1b[31m.jpg", "http", false},  // control byte in the address
        {"\x1b[31mhttp://h/x.jpg", "", false},
    };
    for (const TCase& c : cases) {
        EXPECT_EQ(UrlScheme(c.url), c.scheme) << c.url;
        EXPECT_EQ(IsFetchableAddress(c.url), c.fetchable) << c.url;
    }
}

TEST(PictureSignature, JpegPngGifWebpOnly) {
    struct TCase { const char* name; std::string head; bool picture; };
    const TCase cases[] = {
        {"jpeg", std::string("\xFF\xD8\xFF\xE0\x00\x10JFIF", 10), true},
        {"png", std::string("\x89PNG\r\n\x1A\n\0\0\0\x0D", 12), true},
        {"gif87a", "GIF87a....", true},
        {"gif89a", "GIF89a", true},
        {"webp", "RIFF\x10\x20\x30\x40WEBPVP8 ", true},
        {"riff but not webp", "RIFF\x10\x20\x30\x40WAVE", false},
        {"html error page", "<html><head><title>404", false},
        {"doctype", "<!DOCTYPE html>", false},
        {"plain text", "this is not a photo", false},
        {"empty", "", false},
        {"jpeg cut short", "\xFF\xD8", false},
        {"gif88a", "GIF88a", false},
    };
    for (const TCase& c : cases) EXPECT_EQ(HasPictureSignature(c.head), c.picture) << c.name;

    std::string dir = PrivateTempDir();
    std::ofstream(dir + "sig-ok.jpg", std::ios::binary) << "\xFF\xD8\xFF\xDB rest";
    std::ofstream(dir + "sig-bad.jpg", std::ios::binary) << "<html>error</html>";
    std::ofstream(dir + "sig-empty.jpg", std::ios::binary);
    EXPECT_TRUE(FileHasPictureSignature(dir + "sig-ok.jpg"));
    EXPECT_FALSE(FileHasPictureSignature(dir + "sig-bad.jpg"));
    EXPECT_FALSE(FileHasPictureSignature(dir + "sig-empty.jpg"));
    EXPECT_FALSE(FileHasPictureSignature(dir + "sig-missing.jpg"));
}

TEST(PictureEnd, OnlyAWholePictureEndsLikeOne) {
    const std::string jpeg("\xFF\xD8\xFF\xE0\x00\x10JFIF\0\x01\x01\0", 14);
    const std::string png("\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR", 16);
    const std::string iend("\0\0\0\0IEND\xAE\x42\x60\x82", 12);
    const std::string webpHead("RIFF\x20\0\0\0WEBPVP8 ", 16);  // RIFF length 32: a 40-byte file
    struct TCase { const char* name; std::string head, tail; int64_t size; bool whole; };
    const TCase cases[] = {
        {"jpeg with its end marker", jpeg, "data\xFF\xD9", 900, true},
        {"jpeg padded with zeros after it", jpeg, std::string("data\xFF\xD9\0\0\0", 9), 900, true},
        {"jpeg cut in its data", jpeg, "data\xFF\x00more", 900, false},
        {"jpeg cut after a lone FF", jpeg, "data\xFF", 900, false},
        {"png with IEND", png, "data" + iend, 900, true},
        {"png cut before IEND", png, "data" + iend.substr(0, 8), 900, false},
        {"gif with its trailer", "GIF89a\x01\0\x01\0\0\0", "data\x3B", 900, true},
        {"gif cut", "GIF89a\x01\0\x01\0\0\0", "data\x2C", 900, false},
        {"webp holding its RIFF length", webpHead, "data", 40, true},
        {"webp with a pad byte", webpHead, "data", 41, true},
        {"webp cut", webpHead, "data", 39, false},
        {"no picture", "<html><body>", "</html>", 20, false},
        {"empty", "", "", 0, false},
    };
    for (const TCase& c : cases) EXPECT_EQ(HasPictureEnd(c.head, c.tail, c.size), c.whole) << c.name;

    std::string dir = PrivateTempDir();
    std::string photo = jpeg + std::string(10000, 'x') + "\xFF\xD9";
    std::ofstream(dir + "whole.jpg", std::ios::binary) << photo;
    std::ofstream(dir + "cut.jpg", std::ios::binary) << photo.substr(0, 6000);
    EXPECT_TRUE(FileIsWholePicture(dir + "whole.jpg"));
    EXPECT_FALSE(FileIsWholePicture(dir + "cut.jpg"));
    EXPECT_FALSE(FileIsWholePicture(dir + "missing.jpg"));
}

TEST(HttpDate, TheThreeFormsAndNothingElse) {
    const int64_t t = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
    struct TCase { std::string text; bool ok; int64_t seconds; };
    const TCase cases[] = {
        {"Sun, 06 Nov 1994 08:49:37 GMT", true, t},
        {"Sunday, 06-Nov-94 08:49:37 GMT", true, t},
        {"Sun Nov  6 08:49:37 1994", true, t},
        {"Thu, 01 Jan 1970 00:00:00 GMT", true, 0},
        {"Tue, 29 Feb 2028 23:59:59 GMT", true, 1835481599},
        {"Sun, 06 Nov 1994 08:49:37 UTC", false, 0},
        {"Sun, 06 Nov 1994 08:49:37 GMT trailing", false, 0},
        {"Sun, 06 Foo 1994 08:49:37 GMT", false, 0},
        {"Sun, 06 Nov 1994 25:49:37 GMT", false, 0},
        {"120", false, 0},
        {"", false, 0},
    };
    for (const TCase& c : cases) {
        int64_t seconds = -1;
        EXPECT_EQ(ParseHttpDate(c.text, seconds), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(seconds, c.seconds) << c.text;
        }
    }
}

TEST(RetryAfter, SecondsOrADateBoundedBySixtySeconds) {
    const int64_t now = 784111777;  // the Date below
    const std::string date = "Sun, 06 Nov 1994 08:49:37 GMT";
    struct TCase { std::string value, dateHeader; int64_t ms; };
    const TCase cases[] = {
        {"2", date, 2000},
        {" 5 ", "", 5000},
        {"0", date, 0},
        {"61", date, 60000},
        {"99999999999999", date, 60000},
        {"Sun, 06 Nov 1994 08:49:39 GMT", date, 2000},      // two seconds after the answer's Date
        {"Sun, 06 Nov 1994 08:49:39 GMT", "", 2000},        // no Date: against the clock given
        {"Sun, 06 Nov 1994 08:49:39 GMT", "garbage", 2000},
        {"Sun, 06 Nov 1994 08:59:37 GMT", date, 60000},     // ten minutes: the bound
        {"Sun, 06 Nov 1994 08:49:30 GMT", date, 0},         // in the past
        {"-3", date, -1},
        {"soon", date, -1},
        {"", date, -1},
    };
    for (const TCase& c : cases) EXPECT_EQ(RetryAfterMs(c.value, c.dateHeader, now), c.ms) << c.value;
}

TEST(ResumeValidator, StrongETagElseLastModified) {
    const std::string lm = "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\n";
    struct TCase { const char* name; std::string head, validator; };
    const TCase cases[] = {
        {"etag and date", "HTTP/1.1 200 OK\r\nETag: \"abc123\"\r\n" + lm + "\r\n", "\"abc123\""},
        {"date only", "HTTP/1.1 200 OK\r\n" + lm, "Sun, 06 Nov 1994 08:49:37 GMT"},
        {"weak etag: the date", "HTTP/1.1 200 OK\r\nETag: W/\"abc\"\r\n" + lm, "Sun, 06 Nov 1994 08:49:37 GMT"},
        {"weak etag alone", "HTTP/1.1 200 OK\r\nETag: W/\"abc\"\r\n", ""},
        {"names in any case, LF lines", "HTTP/1.0 200 OK\netag:   \"x\"  \n", "\"x\""},
        {"neither", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n", ""},
        {"a name that only starts alike", "HTTP/1.1 200 OK\r\nETagX: \"no\"\r\n", ""},
        {"unquoted etag is no strong one", "HTTP/1.1 200 OK\r\nETag: abc\r\n", ""},
        {"empty head", "", ""},
    };
    for (const TCase& c : cases) EXPECT_EQ(ResumeValidator(c.head), c.validator) << c.name;
}

TEST(WorthResuming, BigOrChunkedAnswersButNeverOnesThatEndAtTheClose) {
    struct TCase { const char* name; std::string head; bool worth; };
    const TCase cases[] = {
        {"a megabyte", "HTTP/1.1 200 OK\r\nContent-Length: 1048576\r\n", true},
        {"a byte less", "HTTP/1.1 200 OK\r\nContent-Length: 1048575\r\n", false},
        {"a length that is no number", "HTTP/1.1 200 OK\r\nContent-Length: lots\r\n", true},
        {"chunks", "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, Chunked\r\n", true},
        {"chunks over a small length", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 5\r\n", true},
        {"a coding without chunks", "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n", false},
        {"ends at the close", "HTTP/1.0 200 OK\r\nContent-Type: image/jpeg\r\n", false},
        {"HTTP/1.1 closing", "HTTP/1.1 200 OK\r\nConnection: close\r\n", false},
    };
    for (const TCase& c : cases) EXPECT_EQ(WorthResuming(c.head), c.worth) << c.name;
}

TEST(AlbumBaseFolder, TheProgramsFolderWhenWritableElseTheFallback) {
    std::string dir = PrivateTempDir();
    EXPECT_TRUE(FolderWritable(dir));
    EXPECT_EQ(AlbumBaseFolder(dir, "/fallback/"), dir);
    EXPECT_FALSE(FolderWritable(dir + "no-such-folder/"));
    EXPECT_EQ(AlbumBaseFolder(dir + "no-such-folder/", "/fallback/"), "/fallback/");
    std::ofstream(dir + "plain-file") << "x";
    EXPECT_FALSE(FolderWritable(dir + "plain-file/"));
}

}  // namespace

TEST(SiteRules, AddressSiteAndHostPort) {
    struct TCase { const char* Url; const char* Site; const char* HostPort; };
    const TCase cases[] = {
        {"http://127.0.0.1:8080/album/x.html", "http://127.0.0.1:8080", "127.0.0.1:8080"},
        {"HTTP://Example.org/a?b", "http://Example.org", "Example.org:80"},
        {"https://h/x", "https://h", "h:443"},
        {"h:81/x", "http://h:81", "h:81"},  // no scheme: read as http, as the client reads it
        {"/album/x.html", "", ""},          // names no site
        {"", "", ""},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Url);
        EXPECT_EQ(AddressSite(c.Url), c.Site);
        EXPECT_EQ(AddressHostPort(c.Url), c.HostPort);
    }
}
