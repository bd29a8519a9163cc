// parser: the album parsers and the two transfer routines the album run uses.
//
// TBaseAlbumParser holds the site-independent part: PostToFile moves one response body
// into a file through the threaded getter (the usage report), FetchText through the HTTP
// client (the album XML, the background music) and reads the file back as text. Both
// block their caller while the interface thread's messages go on being handled, so the
// stop button and timers keep working inside them. FetchText may be given the client to
// use, so that its owner can abort it (the stop button), and a bound on the answer's
// size: past it the transfer fails and nothing more is kept.
//
// TTavoAlbumParser reads the Tavo album XML: the first song="..." attribute is the music
// address, every <image path="..."> (exactly one blank before "path") is one photo, in
// document order, values taken as written. A parser serves one album run: the run
// creates it, calls ParseAlbum once, reads MusicUrl and XmlFetchOutcome, and frees it.
// The photo list it returns belongs to the caller. Progress texts go to OnStatus.
#pragma once

#include "album/commonFunc.h"
#include "album/vo.h"
#include "platform/rtl/Classes.h"
#include "platform/rtl/SysUtils.h"

#include <cstdint>
#include <functional>
#include <string>

class THTTPGet;
class THttpCli;

// How one transfer of FetchText ended.
struct TTransferOutcome {
    bool Success = false;   // the request completed with a status below 400
    int StatusCode = 0;     // the HTTP status, or the client's error code; 0 before a request
    std::string ErrorText;  // the error's message when Success is false
    std::string ContentType;  // the answer's Content-Type, lower case ("" when none)
    bool TooLarge = false;  // the answer went past the size bound (nothing was read back)
};

// An answer went past its size bound: "The album XML is larger than 16 MB".
class EDocumentTooLarge : public Exception {
public:
    EDocumentTooLarge(const std::string& What, int64_t MaxBytes);
};

// Passes writes on to Inner until MaxBytes have been written; the write that would go past
// throws EDocumentTooLarge and writes nothing. MaxBytes <= 0: no bound. Reads and seeks go
// to Inner.
class TBoundedStream : public TStream {
public:
    TBoundedStream(TStream& Inner, int64_t MaxBytes, std::string What);
    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;

private:
    TStream& FInner;
    const int64_t FMaxBytes;
    const std::string FWhat;
    int64_t FWritten = 0;
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
    // The same with a getter of the caller's (so that it can cancel it); the getter's
    // WaitThread is set.
    static bool PostToFile(THTTPGet& Getter, const std::string& URL, const std::string& FileName,
                           const std::string& PostQuery);

    // Fetches URL into FileName with Client's synchronous Get (an empty FileName means
    // ScratchFileName()), then reads the file back as lines (ending at CR, LF or CR LF;
    // reading stops at the first NUL byte) and returns them joined, each followed by
    // CR LF. The text is whatever reached the file, also after a failed request (part of
    // an error page, or nothing), except past MaxBytes (> 0): then the request fails with
    // EDocumentTooLarge's text (What names the document), Outcome.TooLarge is set and the
    // text is empty. Errors of the request are not raised: they are reported through
    // Outcome when given. Throws EFCreateError when FileName cannot be created (before
    // any request) and EFOpenError when it cannot be read back.
    static std::string FetchText(THttpCli& Client, const std::string& URL, const std::string& FileName,
                                 TTransferOutcome* Outcome = nullptr, int64_t MaxBytes = 0,
                                 const std::string& What = "answer");
    // The same with a client of its own, with the client's defaults.
    static std::string FetchText(const std::string& URL, const std::string& FileName,
                                 TTransferOutcome* Outcome = nullptr);
};

class TTavoAlbumParser : public TBaseAlbumParser {
public:
    // The album XML is read up to this size; a longer one fails the fetch.
    static constexpr int64_t MaxXmlBytes = 16 * 1024 * 1024;

    TTavoAlbumParser() = default;

    // The client the XML is fetched with (not owned; it must outlive the fetch). Without
    // one, each fetch makes a client of its own.
    void SetHttpClient(THttpCli* Client) { FClient = Client; }

    // FetchText of URL through the scratch file, at most MaxXmlBytes; records the outcome
    // (XmlFetchOutcome).
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

    // Hears every progress text (interface thread).
    TTextEvent OnStatus;
    // Given to the engine of every match (TRegExpr::OnMatchProgress): hears long matches
    // and ends them (ERegExpr, reeMatchCancelled) by returning false.
    std::function<bool()> OnMatchProgress;
    // The step budget of each match; 0: the engine's default.
    int64_t MatchStepLimit = 0;

private:
    void ShowStatus(const std::string& Text) {
        if (OnStatus) OnStatus(Text);
    }
    THttpCli* FClient = nullptr;
    std::string FMusicUrl;
    TTransferOutcome FXmlOutcome;
};
