// parser: the album parsers and the two transfer routines the album run uses.
//
// TBaseAlbumParser holds the site-independent part: PostToFile moves one response body
// into a file through the threaded getter (photos, the usage report), FetchText through
// the HTTP client (the album XML, the background music) and reads the file back as text.
// Both block their caller while the interface thread's messages go on being handled, so
// the stop button and timers keep working inside them.
//
// TTavoAlbumParser reads the Tavo album XML: the first song="..." attribute is the music
// address, every <image path="..."> (exactly one blank before "path") is one photo, in
// document order, values taken as written. A parser serves one album run: the workflow
// creates it, calls ParseAlbum once, reads MusicUrl and XmlFetchOutcome, and frees it.
// The photo list it returns belongs to the caller.
//
// Progress texts go through ShowStatusText (commonFunc.h).
//
// How the album run uses this layer (AppDir ends with "/"):
//   title  := SafeFileName(page group 1); id := page group 2
//   parser.ParseAlbum("http://SITE/xml?" + id)      -> photos; check XmlFetchOutcome()
//   folder := AppDir + AlbumFolderName(title, id) + "/"
//   photo i: PostToFile(photo->ImagePath(), folder + i + ".jpg.part", "") and, when it
//            returns true, RenameFile to folder + i + ".jpg"
//   report:  PostToFile("http://SITE/owlmere/skyfen/log.php", ScratchFileName(), query)
//   music:   FetchText(parser.MusicUrl(), folder + "background.mp3.part", &outcome), then
//            rename on outcome.Success
#pragma once

#include "album/vo.h"
#include "platform/rtl/Classes.h"

#include <string>

// How one transfer of FetchText ended.
struct TTransferOutcome {
    bool Success = false;   // the request completed with a status below 400
    int StatusCode = 0;     // the HTTP status, or the client's error code; 0 before a request
    std::string ErrorText;  // the error's message when Success is false
};

class TBaseAlbumParser : public TObject {
public:
    // Fetches URL into FileName (created or truncated) with the threaded getter: a GET
    // when PostQuery is empty, else a form POST of PostQuery. Returns the transfer's own
    // outcome, the getter's LastResult: true only for a status below 400 whose body was
    // read to its proper end (see HTTPGet.h). Never throws; a failure to set up the
    // transfer also gives false. A partly written file is left as it is.
    static bool PostToFile(const std::string& URL, const std::string& FileName,
                           const std::string& PostQuery);

    // Fetches URL into FileName with the HTTP client's synchronous Get (an empty FileName
    // means ScratchFileName()), then reads the file back as lines (ending at CR, LF or
    // CR LF; reading stops at the first NUL byte) and returns them joined, each followed by
    // CR LF. The text is whatever reached the file, also after a failed request (part of
    // an error page, or nothing). Errors of the request are not raised: they are reported
    // through Outcome when given. Throws EFCreateError when FileName cannot be created
    // (before any request) and EFOpenError when it cannot be read back.
    static std::string FetchText(const std::string& URL, const std::string& FileName,
                                 TTransferOutcome* Outcome = nullptr);
};

class TTavoAlbumParser : public TBaseAlbumParser {
public:
    TTavoAlbumParser() = default;

    // FetchText of URL through the scratch file; records the outcome (XmlFetchOutcome).
    std::string FetchAlbumXml(const std::string& URL);

    // Fetches the album XML at XmlUrl ("http://HOST/xml?ID") and returns its photos. Shows
    // "正在获取相册信息...", then "成功获取到背景音乐信息..." when a song attribute was
    // found and "成功获取到相册图片信息..." once per photo. Nothing the site answers makes
    // it fail (an unreachable server or an error status gives what reached the scratch
    // file, usually nothing, so an empty list); check XmlFetchOutcome to tell a failed
    // fetch from an empty album. Throws what FetchText throws for the scratch file, and
    // ERegExpr if the engine gives up on the document.
    TPhotoList ParseAlbum(const std::string& XmlUrl);

    // The scraping half of ParseAlbum, on a text already fetched: sets MusicUrl when a
    // song attribute is found, shows the same texts, returns the photos.
    TPhotoList ParseAlbumXml(const std::string& Text);

    // The music address found by the last ParseAlbum; empty when none was found.
    const std::string& MusicUrl() const { return FMusicUrl; }
    // How the album XML's fetch of the last ParseAlbum ended.
    const TTransferOutcome& XmlFetchOutcome() const { return FXmlOutcome; }

private:
    std::string FMusicUrl;
    TTransferOutcome FXmlOutcome;
};
