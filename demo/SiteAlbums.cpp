// SiteAlbums: the catalogue and the HTML, XML and link-list texts (see SiteAlbums.h).
#include "demo/SiteAlbums.h"

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

std::vector<TDemoAlbum> BuildCatalogue() {
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
    a = Album("missing404", "缺图相册", "photo 2 answers 404", 5);
    a.Fault = TPhotoFault::Missing;
    a.FaultIndex = 2;
    list.push_back(a);
    a = Album("cutoff", "断线相册", "the connection of photo 3 closes mid-body", 5);
    a.Fault = TPhotoFault::CutOff;
    a.FaultIndex = 3;
    list.push_back(a);
    a = Album("slow", "慢速相册", "every photo trickles in slowly", 3);
    a.Fault = TPhotoFault::Trickle;
    list.push_back(a);
    return list;
}

std::string Http(const std::string& site) { return "http://" + site; }

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

std::string AlbumPagePath(const TDemoAlbum& album) { return "/album/" + album.Id + ".html"; }

std::string AlbumPageUrl(const std::string& site, const TDemoAlbum& album) {
    return Http(site) + AlbumPagePath(album);
}

std::string PhotoPath(const TDemoAlbum& album, int index) {
    return "/photos/" + album.Id + "/" + std::to_string(index) + ".jpg";
}

std::string MusicPath(const TDemoAlbum& album) { return "/music/" + album.Id + ".mp3"; }

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

std::string AlbumPageHtml(const std::string& site, const TDemoAlbum& album) {
    // The title goes in raw: the program reads it up to the first blank, and entities
    // would end up in its folder name. The catalogue's titles need no escaping.
    std::string blank = album.LeadingBlank ? " " : "";
    std::string player = Http(site) + "/code_without_top.html?id=" + album.Id +
                         "&amp;type=album&amp;autoplay=1";
    return "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n"
           "<title>" + blank + album.Title + " - Tavo相册 照片分享</title>\n</head>\n<body>\n"
           "<h1>" + HtmlEscape(album.Title) + "</h1>\n"
           "<p>" + std::to_string(album.PhotoCount) + " 张照片</p>\n"
           "<iframe src=\"" + player + "\" width=\"800\" height=\"600\"></iframe>\n"
           "<p><a href=\"/\">全部相册</a></p>\n</body>\n</html>\n";
}

std::string AlbumXml(const std::string& site, const TDemoAlbum& album) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<album id=\"" +
                      HtmlEscape(album.Id) + "\" name=\"" + HtmlEscape(album.Title) + "\"";
    if (album.HasMusic) xml += " song=\"" + Http(site) + MusicPath(album) + "\"";
    xml += " count=\"" + std::to_string(album.PhotoCount) + "\">\n";
    for (int i = 0; i < album.PhotoCount; ++i)
        xml += "  <image path=\"" + Http(site) + PhotoPath(album, i) + "\" title=\"第" +
               std::to_string(i + 1) + "张\"/>\n";
    xml += "</album>\n";
    return xml;
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
