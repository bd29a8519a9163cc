// parser: the Tavo album parser and the transfer routines (see parser.h).
//
// The transfer routines need the HTTP client (FetchText) and the threaded getter
// (PostToFile). The build defines ALBUM_HAVE_HTTPCLI and ALBUM_HAVE_HTTPGET when those
// layers are present; without them the routine is replaced by one that reports failure,
// so that the rest of the album layer builds and is tested on its own.
#include "album/parser.h"

#include "album/commonFunc.h"
#include "platform/rtl/FileSys.h"
#include "regex/RegExpr.h"

#ifdef ALBUM_HAVE_HTTPCLI
#include "net/http/HttpProt.h"
#endif
#ifdef ALBUM_HAVE_HTTPGET
#include "net/inetget/HTTPGet.h"
#endif

#include <memory>

// ---- transfers --------------------------------------------------------------------------

#ifdef ALBUM_HAVE_HTTPGET
bool TBaseAlbumParser::PostToFile(const std::string& URL, const std::string& FileName,
                                  const std::string& PostQuery) {
    try {
        THTTPGet getter(nullptr);
        getter.SetURL(URL);
        getter.SetFileName(FileName);
        getter.SetPostQuery(PostQuery);
        getter.SetWaitThread(true);
        // With WaitThread the call returns after the worker ended and TransferDone ran.
        getter.StartTransfer();
        return getter.LastResult();
    } catch (const std::exception&) {
        return false;
    }
}
#else
// ---- NOT BUILT: the threaded getter (net/inetget) is missing from this build. ----
bool TBaseAlbumParser::PostToFile(const std::string&, const std::string&, const std::string&) {
    return false;
}
#endif

#ifdef ALBUM_HAVE_HTTPCLI
std::string TBaseAlbumParser::FetchText(const std::string& URL, const std::string& FileName,
                                        TTransferOutcome* Outcome) {
    const std::string file = FileName.empty() ? ScratchFileName() : FileName;
    TTransferOutcome outcome;
    {
        // Created before the client so that a file that cannot be created fails the call
        // before any request is made. Both are closed before the file is read back.
        THttpCli client(nullptr);
        TFileStream stream(file, fmCreate);
        client.SetURL(URL);
        client.SetRcvdStream(&stream);
        try {
            client.Get();
            outcome.Success = true;
            outcome.StatusCode = client.StatusCode();
        } catch (const EHttpException& e) {
            outcome.StatusCode = e.ErrorCode();
            outcome.ErrorText = e.Message();
        } catch (const std::exception& e) {
            outcome.ErrorText = e.what();
        }
        client.SetRcvdStream(nullptr);
    }
    if (Outcome) *Outcome = outcome;
    TStringList lines;
    lines.LoadFromFile(file);
    return lines.Text();
}
#else
// ---- NOT BUILT: the HTTP client (net/http HttpProt) is missing from this build. ----
std::string TBaseAlbumParser::FetchText(const std::string& URL, const std::string& FileName,
                                        TTransferOutcome* Outcome) {
    (void)URL;
    const std::string file = FileName.empty() ? ScratchFileName() : FileName;
    { TFileStream stream(file, fmCreate); }
    if (Outcome) *Outcome = TTransferOutcome{false, 0, "HTTP client not built"};
    return std::string();
}
#endif

// ---- the Tavo album XML -----------------------------------------------------------------

std::string TTavoAlbumParser::FetchAlbumXml(const std::string& URL) {
    FXmlOutcome = TTransferOutcome();
    return FetchText(URL, std::string(), &FXmlOutcome);
}

TPhotoList TTavoAlbumParser::ParseAlbum(const std::string& XmlUrl) {
    ShowStatusText("正在获取相册信息...");
    return ParseAlbumXml(FetchAlbumXml(XmlUrl));
}

TPhotoList TTavoAlbumParser::ParseAlbumXml(const std::string& Text) {
    TPhotoList photos;
    TRegExpr rx;  // freed on every exit, also when a search raises
    rx.SetExpression("song=\"(.*?)\"");
    if (rx.Exec(Text)) {
        FMusicUrl = rx.GroupText(1);
        ShowStatusText("成功获取到背景音乐信息...");
    }
    rx.SetExpression("<image path=\"(.*?)\"");
    if (rx.Exec(Text)) {
        do {
            auto photo = std::make_unique<TPhotoObject>();
            photo->SetImagePath(rx.GroupText(1));
            photos.push_back(std::move(photo));
            ShowStatusText("成功获取到相册图片信息...");
        } while (rx.ExecNext());
    }
    return photos;
}
