// SiteAlbums: the demo site's fixed album catalogue and the texts it serves.
//
// Every album has an id (the XML service's whole query), a page title, a photo count,
// optional music, and at most one fault that the site plays on its photos. The text
// builders are pure functions of the catalogue and the site's own address ("HOST:PORT";
// "https://HOST:PORT" for a site that serves TLS),
// so their output is the same on every run.
#pragma once

#include <memory>
#include <string>
#include <vector>

// What the site does wrong on purpose for an album, one fault per album. "Photo N" is
// FaultIndex.
enum class TAlbumFault {
    None,
    Missing,          // photo N answers 404
    CutOff,           // photo N announces its full length, then every answer closes halfway
    Trickle,          // every photo is sent in small pieces with a pause between them
    HtmlPhoto,        // photo N answers 200 text/html with an HTML error page, every time
    TextPhoto,        // photo N answers 200 "image/jpeg" with a plain-text body
    RateLimit,        // photo N answers 429 "Retry-After: 2" to its first request
    Busy,             // photo N answers 503, Retry-After an HTTP date 2 s ahead, first request
    Stall,            // photo N sends its head (with Content-Length), then nothing
    EndlessPage,      // the album page never ends (chunked)
    EndlessXml,       // the album XML never ends (no length)
    BigPhoto,         // photo N is 8 MB, sent at about 2 MB/s
    BigPhotoNoRange,  // as BigPhoto, and no photo of the album honours Range
    RedirScheme,      // photos 1, 2, 3 answer 302 to file:, ftp: and javascript: addresses
    NonHttp,          // the XML addresses of photos 1, 2, 3 are file:, ftp: and https:
    ControlChars,     // control bytes in the page title and in the XML address of photo 1
    NotAudio,         // the music answers 200 text/html
    Trickle20,        // the page and photo N trickle at 20 bytes a second, no length
    PageToHttps,      // the album page answers 302 to an https: address
    PageToFtp,        // the album page answers 302 to an ftp: address
};

struct TDemoAlbum {
    std::string Id;         // album id, as in code_without_top.html?id=ID& and /xml?ID
    std::string Title;      // page title up to its first blank (the program's folder name)
    std::string Note;       // what the album is for, shown on the index page
    int PhotoCount = 0;
    bool HasMusic = false;
    TAlbumFault Fault = TAlbumFault::None;
    int FaultIndex = -1;    // the photo a per-photo fault applies to
    bool LeadingBlank = false;  // the page title starts with a blank (empty title group)

    // Whether photo Index is the one the album's per-photo fault applies to.
    bool Faulty(TAlbumFault fault, int index) const { return Fault == fault && index == FaultIndex; }
};

// The fixed catalogue, in index-page order.
const std::vector<TDemoAlbum>& DemoAlbums();
// The album with this id; null when there is none.
const TDemoAlbum* FindDemoAlbum(const std::string& id);

// Id of the album of twelve photos with music, the program's sample address.
extern const char* const SampleAlbumId;

// ---- addresses (Site is "HOST:PORT") ------------------------------------------------

// Ids go into paths percent-encoded ("sp ace" as "sp%20ace").
std::string AlbumPagePath(const TDemoAlbum& album);               // "/album/ID.html"
std::string AlbumPageUrl(const std::string& site, const TDemoAlbum& album);
std::string PhotoPath(const TDemoAlbum& album, int index);        // "/photos/ID/N.jpg"
std::string MusicPath(const TDemoAlbum& album);                   // "/music/ID.mp3"
// The address of photo Index as the album XML gives it (faults included).
std::string XmlPhotoUrl(const std::string& site, const TDemoAlbum& album, int index);
// Percent-encodes every byte but letters, digits and "-._~"; and the reverse (a "%"
// not followed by two hexadecimal digits stays as it is).
std::string PercentEncode(const std::string& text);
std::string PercentDecode(const std::string& text);

// Paths of the maker's server and the link server played by the site.
extern const char* const ReportPath;     // "/owlmere/skyfen/log.php" (POST)
extern const char* const InfoPagePath;   // "/owlmere/skyfen/app_info.php" (?app=tavophotos)
extern const char* const LinkListPath;   // "/app/ruvoviveduzude/i.php" (?a=getlinks)
extern const char* const XmlPath;        // "/xml" (?ALBUMID)

// ---- texts --------------------------------------------------------------------------

// The album page: <title>TITLE rest</title> and a code_without_top.html?id=ID&... link
// (the id as it is, blanks included, as the site's pages write it). The trickling
// album's page is padded so that at 20 bytes a second it takes more than a minute.
std::string AlbumPageHtml(const std::string& site, const TDemoAlbum& album);
// The album page up to and including the player link, without its end: the part of an
// endless page before its filler.
std::string AlbumPageTop(const std::string& site, const TDemoAlbum& album);
// The album XML: a song attribute when the album has music, one <image path="..."> per
// photo (XmlPhotoUrl).
std::string AlbumXml(const std::string& site, const TDemoAlbum& album);
// The album XML's opening, without its end: the part of an endless XML before its filler.
std::string AlbumXmlTop(const std::string& site, const TDemoAlbum& album);
// 64 KB of markup that an endless page or XML repeats after its top (an HTML comment).
std::shared_ptr<const std::string> EndlessFiller();
// The index page listing every album's page.
std::string IndexHtml(const std::string& site);
// The maker's information page.
std::string InfoPageHtml(const std::string& site);
// Five UTF-8 caption|address pairs joined by "|".
std::string LinkListText(const std::string& site);
// The player page that the album page links to.
std::string PlayerHtml(const std::string& site, const TDemoAlbum& album);
// A small HTML error page.
std::string ErrorPageHtml(int status, const std::string& reason);

// Escapes & < > " for HTML and XML text and attributes.
std::string HtmlEscape(const std::string& text);
