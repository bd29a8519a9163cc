// SiteAlbums: the demo site's fixed album catalogue and the texts it serves.
//
// Every album has an id (the XML service's whole query), a page title, a photo count,
// optional music, and at most one fault that the site plays on its photos. The text
// builders are pure functions of the catalogue and the site's own address ("HOST:PORT"),
// so their output is the same on every run.
#pragma once

#include <string>
#include <vector>

// What the site does wrong on purpose for an album's photos.
enum class TPhotoFault {
    None,
    Missing,   // photo FaultIndex answers 404
    CutOff,    // photo FaultIndex announces its full length, then the connection closes mid-body
    Trickle,   // every photo is sent in small pieces with a pause between them
};

struct TDemoAlbum {
    std::string Id;         // album id, as in code_without_top.html?id=ID& and /xml?ID
    std::string Title;      // page title up to its first blank (the program's folder name)
    std::string Note;       // what the album is for, shown on the index page
    int PhotoCount = 0;
    bool HasMusic = false;
    TPhotoFault Fault = TPhotoFault::None;
    int FaultIndex = -1;    // the photo of a Missing or CutOff fault
    bool LeadingBlank = false;  // the page title starts with a blank (empty title group)
};

// The fixed catalogue, in index-page order.
const std::vector<TDemoAlbum>& DemoAlbums();
// The album with this id; null when there is none.
const TDemoAlbum* FindDemoAlbum(const std::string& id);

// Id of the album of twelve photos with music, the program's sample address.
extern const char* const SampleAlbumId;

// ---- addresses (Site is "HOST:PORT") ------------------------------------------------

std::string AlbumPagePath(const TDemoAlbum& album);               // "/album/ID.html"
std::string AlbumPageUrl(const std::string& site, const TDemoAlbum& album);
std::string PhotoPath(const TDemoAlbum& album, int index);        // "/photos/ID/N.jpg"
std::string MusicPath(const TDemoAlbum& album);                   // "/music/ID.mp3"

// Paths of the maker's server and the link server played by the site.
extern const char* const ReportPath;     // "/owlmere/skyfen/log.php" (POST)
extern const char* const InfoPagePath;   // "/owlmere/skyfen/app_info.php" (?app=tavophotos)
extern const char* const LinkListPath;   // "/app/ruvoviveduzude/i.php" (?a=getlinks)
extern const char* const XmlPath;        // "/xml" (?ALBUMID)

// ---- texts --------------------------------------------------------------------------

// The album page: <title>TITLE rest</title> and a code_without_top.html?id=ID&... link.
std::string AlbumPageHtml(const std::string& site, const TDemoAlbum& album);
// The album XML: a song attribute when the album has music, one <image path="..."> per
// photo with absolute addresses on the site itself.
std::string AlbumXml(const std::string& site, const TDemoAlbum& album);
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
