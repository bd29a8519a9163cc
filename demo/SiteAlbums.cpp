// SiteAlbums: the catalogue and the HTML, XML and link-list texts (see SiteAlbums.h).
#include "demo/SiteAlbums.h"

#include <cctype>

const char* const SampleAlbumId = "spring12";
const char* const ReportPath = "/owlmere/skyfen/log.php";
const char* const InfoPagePath = "/owlmere/skyfen/app_info.php";
const char* const LinkListPath = "/app/ruvoviveduzude/i.php";
const char* const XmlPath = "/xml";

namespace {

TDemoAlbum Album(std::string id, std::string title, std::string note, int photos) {
    TDemoAlbum a;
    a.Id = std::move(id);
    a.Title = std::move(title);
    a.Note = std::move(note);
    a.PhotoCount = photos;
    return a;
}

TDemoAlbum Faulty(std::string id, std::string title, std::string note, int photos, TAlbumFault fault,
                  int index = -1) {
    TDemoAlbum a = Album(std::move(id), std::move(title), std::move(note), photos);
    a.Fault = fault;
    a.FaultIndex = index;
    return a;
}

std::vector<TDemoAlbum> BuildCatalogue() {
    using F = TAlbumFault;
    std::vector<TDemoAlbum> list;
    TDemoAlbum a = Album("spring12", "春日花园", "12 photos with background music", 12);
    a.HasMusic = true;
    list.push_back(a);
    list.push_back(Album("night40", "城市夜景", "40 photos: more than the thirty thumbnails", 40));
    list.push_back(Album("empty0", "空相册", "no photos at all", 0));
    list.push_back(Album("bench200", "基准测试相册", "200 photos for the benchmark", 200));
    list.push_back(Album("oddtitle", "旅行/日记?Tom's",
                         "a title with a slash, a question mark and an apostrophe", 3));
    list.push_back(Album("dots", "...", "a title of dots only", 2));
    a = Album("blanktitle", "开头空格", "a page title that starts with a blank", 2);
    a.LeadingBlank = true;
    list.push_back(a);
    list.push_back(Faulty("missing404", "缺图相册", "photo 2 answers 404", 5, F::Missing, 2));
    list.push_back(Faulty("cutoff", "断线相册", "the connection of photo 3 closes mid-body", 5, F::CutOff, 3));
    list.push_back(Faulty("slow", "慢速相册", "every photo trickles in slowly", 3, F::Trickle));
    // The hostile albums: one fault each.
    list.push_back(Faulty("htmlphoto", "网页冒充相册",
                          "photo 1 answers 200 text/html with an HTML error page, every time", 4,
                          F::HtmlPhoto, 1));
    list.push_back(Faulty("textphoto", "文本冒充相册",
                          "photo 2 answers 200 with Content-Type: image/jpeg but a plain-text body", 3,
                          F::TextPhoto, 2));
    list.push_back(Faulty("ratelimit", "限流相册",
                          "photo 2 answers 429 with Retry-After: 2 to its first request, then the photo",
                          6, F::RateLimit, 2));
    list.push_back(Faulty("busy503", "繁忙相册",
                          "photo 1 answers 503 with Retry-After as an HTTP date 2 s ahead to its first "
                          "request, then the photo", 4, F::Busy, 1));
    list.push_back(Faulty("stall", "停滞相册",
                          "photo 1 sends its head (with Content-Length) and then nothing; the "
                          "connection stays open", 3, F::Stall, 1));
    list.push_back(Faulty("hugepage", "无尽页面",
                          "the album page never ends (chunked, as fast as the client reads)", 0,
                          F::EndlessPage));
    list.push_back(Faulty("hugexml", "无尽数据",
                          "a normal page; the album XML never ends (no length, as fast as the client "
                          "reads)", 0, F::EndlessXml));
    list.push_back(Faulty("bigphoto", "大图相册",
                          "photo 0 is 8 MB, sent at about 2 MB/s; Range honoured (ETag and "
                          "Last-Modified)", 2, F::BigPhoto, 0));
    list.push_back(Faulty("norange", "无续传相册",
                          "as bigphoto, but Range is ignored: always 200 with the whole photo", 2,
                          F::BigPhotoNoRange, 0));
    list.push_back(Faulty("redirscheme", "跳转相册",
                          "photos 1, 2 and 3 answer 302 to file:///etc/passwd, ftp://127.0.0.1/x.jpg "
                          "and javascript:alert(1)", 4, F::RedirScheme));
    list.push_back(Faulty("nonhttp", "异址相册",
                          "the XML addresses of photos 1, 2 and 3 are file:, ftp: and https:", 4,
                          F::NonHttp));
    list.push_back(Faulty("ctrltitle", "\x1b[31m红字\r标题\a",
                          "the page title holds ESC [31m, a CR and a BEL; the XML address of photo 1 "
                          "holds an ESC", 2, F::ControlChars, 1));
    a = Faulty("noaudio", "无声相册", "has music, but the music answers 200 text/html", 2, F::NotAudio);
    a.HasMusic = true;
    list.push_back(a);
    list.push_back(Faulty("trickle20", "涓流相册",
                          "the page and photo 1 trickle at 20 bytes a second with no length (the "
                          "page takes more than 60 s)", 2, F::Trickle20, 1));
    list.push_back(Album("sp ace", "空格编号",
                         "the id holds a blank; the XML service finds it only as sp%20ace", 3));
    list.push_back(Faulty("redirhttps", "跳转加密",
                          "the album page answers 302 to https://HOST:PORT/album/spring12.html", 0,
                          F::PageToHttps));
    list.push_back(Faulty("redirftp", "跳转文件",
                          "the album page answers 302 to ftp://127.0.0.1/album.html", 0, F::PageToFtp));
    return list;
}

// How long the trickling album's page is at least: more than a minute at 20 bytes a second.
constexpr size_t TricklePageBytes = 1500;

// The origin of a site: "HOST:PORT" is an http site; a site written with its scheme
// ("https://HOST:PORT", a site serving TLS) stays as it is.
std::string Http(const std::string& site) { return site.find("://") == std::string::npos ? "http://" + site : site; }

}  // namespace

const std::vector<TDemoAlbum>& DemoAlbums() {
    static const std::vector<TDemoAlbum> albums = BuildCatalogue();
    return albums;
}

const TDemoAlbum* FindDemoAlbum(const std::string& id) {
    for (const TDemoAlbum& a : DemoAlbums())
        if (a.Id == id) return &a;
    return nullptr;
}

std::string PercentEncode(const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += char(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string PercentDecode(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && isxdigit((unsigned char)text[i + 1]) &&
            isxdigit((unsigned char)text[i + 2])) {
            out += char(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string AlbumPagePath(const TDemoAlbum& album) { return "/album/" + PercentEncode(album.Id) + ".html"; }

std::string AlbumPageUrl(const std::string& site, const TDemoAlbum& album) {
    return Http(site) + AlbumPagePath(album);
}

std::string PhotoPath(const TDemoAlbum& album, int index) {
    return "/photos/" + PercentEncode(album.Id) + "/" + std::to_string(index) + ".jpg";
}

std::string MusicPath(const TDemoAlbum& album) { return "/music/" + PercentEncode(album.Id) + ".mp3"; }

std::string XmlPhotoUrl(const std::string& site, const TDemoAlbum& album, int index) {
    std::string url = Http(site) + PhotoPath(album, index);
    if (album.Fault == TAlbumFault::NonHttp) {
        if (index == 1) return "file:///etc/passwd";
        if (index == 2) return "ftp://127.0.0.1/1.jpg";
        if (index == 3) return "https://" + site + PhotoPath(album, 2);
    }
    // An escape sequence in the query, where a client that encodes it still gets the photo.
    if (album.Faulty(TAlbumFault::ControlChars, index)) url += "?v=\x1b[0m";
    return url;
}

std::string HtmlEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string AlbumPageTop(const std::string& site, const TDemoAlbum& album) {
    // The title goes in raw: the program reads it up to the first blank, and entities
    // would end up in its folder name. The catalogue's titles need no escaping.
    std::string blank = album.LeadingBlank ? " " : "";
    std::string player = Http(site) + "/code_without_top.html?id=" + album.Id +
                         "&amp;type=album&amp;autoplay=1";
    return "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n"
           "<title>" + blank + album.Title + " - Tavo相册 照片分享</title>\n</head>\n<body>\n"
           "<h1>" + HtmlEscape(album.Title) + "</h1>\n"
           "<p>" + std::to_string(album.PhotoCount) + " 张照片</p>\n"
           "<iframe src=\"" + player + "\" width=\"800\" height=\"600\"></iframe>\n";
}

std::string AlbumPageHtml(const std::string& site, const TDemoAlbum& album) {
    std::string page = AlbumPageTop(site, album) + "<p><a href=\"/\">全部相册</a></p>\n";
    if (album.Fault == TAlbumFault::Trickle20 && page.size() + 40 < TricklePageBytes)
        page += "<!-- " + std::string(TricklePageBytes - page.size() - 40, '.') + " -->\n";
    return page + "</body>\n</html>\n";
}

std::string AlbumXmlTop(const std::string& site, const TDemoAlbum& album) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<album id=\"" +
                      HtmlEscape(album.Id) + "\" name=\"" + HtmlEscape(album.Title) + "\"";
    if (album.HasMusic) xml += " song=\"" + Http(site) + MusicPath(album) + "\"";
    return xml + " count=\"" + std::to_string(album.PhotoCount) + "\">\n";
}

std::string AlbumXml(const std::string& site, const TDemoAlbum& album) {
    std::string xml = AlbumXmlTop(site, album);
    for (int i = 0; i < album.PhotoCount; ++i)
        xml += "  <image path=\"" + XmlPhotoUrl(site, album, i) + "\" title=\"第" +
               std::to_string(i + 1) + "张\"/>\n";
    xml += "</album>\n";
    return xml;
}

std::shared_ptr<const std::string> EndlessFiller() {
    static const auto filler = [] {
        std::string line = "<!-- " + std::string(121, '-') + " -->\n";  // 128 bytes
        std::string block;
        while (block.size() < 64 * 1024) block += line;
        return std::make_shared<const std::string>(block);
    }();
    return filler;
}

std::string IndexHtml(const std::string& site) {
    std::string html = "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n"
                       "<title>Tavo demo albums</title>\n</head>\n<body>\n"
                       "<h1>Tavo demo albums</h1>\n<ul>\n";
    for (const TDemoAlbum& a : DemoAlbums())
        html += "<li><a href=\"" + AlbumPageUrl(site, a) + "\">" + HtmlEscape(a.Title) +
                "</a> (" + a.Id + ", " + std::to_string(a.PhotoCount) + " photos" +
                (a.HasMusic ? ", music" : "") + "): " + HtmlEscape(a.Note) + "</li>\n";
    html += "</ul>\n</body>\n</html>\n";
    return html;
}

std::string InfoPageHtml(const std::string& site) {
    return "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n"
           "<title>Tavo相册下载器</title>\n</head>\n<body>\n"
           "<h2>Tavo相册下载器 KV1.0</h2>\n"
           "<p>粘贴相册地址，点击下载，照片保存在程序目录下的相册文件夹中。</p>\n"
           "<p><a href=\"" + Http(site) + "/\">示例相册</a></p>\n</body>\n</html>\n";
}

std::string LinkListText(const std::string& site) {
    const std::string h = Http(site);
    return "春日花园相册|" + h + "/album/spring12.html|" +
           "城市夜景四十张|" + h + "/album/night40.html|" +
           "相册下载器主页|" + h + InfoPagePath + "?app=tavophotos|" +
           "照片分享社区|" + h + "/|" +
           "基准测试相册|" + h + "/album/bench200.html";
}

std::string PlayerHtml(const std::string& site, const TDemoAlbum& album) {
    return "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n<title>" +
           HtmlEscape(album.Title) + "</title>\n</head>\n<body>\n<p>相册数据: <a href=\"" +
           Http(site) + XmlPath + "?" + album.Id + "\">XML</a></p>\n</body>\n</html>\n";
}

std::string ErrorPageHtml(int status, const std::string& reason) {
    std::string line = std::to_string(status) + " " + reason;
    return "<html><head><title>" + line + "</title></head><body><h1>" + line +
           "</h1></body></html>\n";
}
