// parser: the Tavo album parser, the transfer routines and the size-bounded stream (see
// parser.h).
#include "album/parser.h"

#include "net/http/HttpProt.h"
#include "net/inetget/HTTPGet.h"
#include "platform/rtl/FileSys.h"
#include "regex/RegExpr.h"

#include <memory>

// ---- the size bound ---------------------------------------------------------------------

EDocumentTooLarge::EDocumentTooLarge(const std::string& What, int64_t MaxBytes)
    : Exception("The " + What + " is larger than " + IntToStr(MaxBytes / (1024 * 1024)) + " MB") {}

TBoundedStream::TBoundedStream(TStream& Inner, int64_t MaxBytes, std::string What)
    : FInner(Inner), FMaxBytes(MaxBytes), FWhat(std::move(What)) {}

int64_t TBoundedStream::Read(void* buffer, int64_t count) { return FInner.Read(buffer, count); }

int64_t TBoundedStream::Write(const void* buffer, int64_t count) {
    if (FMaxBytes > 0 && count > FMaxBytes - FWritten) throw EDocumentTooLarge(FWhat, FMaxBytes);
    int64_t written = FInner.Write(buffer, count);
    if (written > 0) FWritten += written;
    return written;
}

int64_t TBoundedStream::Seek(int64_t offset, TSeekOrigin origin) { return FInner.Seek(offset, origin); }

// ---- transfers --------------------------------------------------------------------------

bool TBaseAlbumParser::PostToFile(const std::string& URL, const std::string& FileName,
                                  const std::string& PostQuery) {
    try {
        THTTPGet getter(nullptr);
        return PostToFile(getter, URL, FileName, PostQuery);
    } catch (const std::exception&) {
        return false;
    }
}

bool TBaseAlbumParser::PostToFile(THTTPGet& getter, const std::string& URL, const std::string& FileName,
                                  const std::string& PostQuery) {
    try {
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

std::string TBaseAlbumParser::FetchText(THttpCli& Client, const std::string& URL, const std::string& FileName,
                                        TTransferOutcome* Outcome, int64_t MaxBytes, const std::string& What) {
    const std::string file = FileName.empty() ? ScratchFileName() : FileName;
    TTransferOutcome outcome;
    {
        // Created before the request so that a file that cannot be created fails the call
        // before any request is made. Closed before the file is read back.
        TFileStream stream(file, fmCreate);
        TBoundedStream bounded(stream, MaxBytes, What);
        Client.SetURL(URL);
        Client.SetRcvdStream(&bounded);
        try {
            Client.Get();
            outcome.Success = true;
            outcome.StatusCode = Client.StatusCode();
        } catch (const EDocumentTooLarge& e) {
            outcome.TooLarge = true;
            outcome.StatusCode = Client.StatusCode();
            outcome.ErrorText = e.Message();
        } catch (const EHttpException& e) {
            outcome.StatusCode = e.ErrorCode();
            outcome.ErrorText = e.Message();
        } catch (const std::exception& e) {
            outcome.ErrorText = e.what();
        }
        outcome.ContentType = Client.ContentType();
        Client.SetRcvdStream(nullptr);
    }
    if (Outcome) *Outcome = outcome;
    // What arrived of an answer that was too large is cut short and may be huge: it is
    // not read back.
    if (outcome.TooLarge) return std::string();
    TStringList lines;
    lines.LoadFromFile(file);
    return lines.Text();
}

std::string TBaseAlbumParser::FetchText(const std::string& URL, const std::string& FileName,
                                        TTransferOutcome* Outcome) {
    THttpCli client(nullptr);
    return FetchText(client, URL, FileName, Outcome);
}

// ---- the Tavo album XML -----------------------------------------------------------------

std::string TTavoAlbumParser::FetchAlbumXml(const std::string& URL) {
    FXmlOutcome = TTransferOutcome();
    std::unique_ptr<THttpCli> own;
    if (!FClient) own = std::make_unique<THttpCli>(nullptr);
    return FetchText(FClient ? *FClient : *own, URL, std::string(), &FXmlOutcome, MaxXmlBytes, "album XML");
}

TPhotoList TTavoAlbumParser::ParseAlbum(const std::string& XmlUrl) {
    ShowStatus("正在获取相册信息...");
    return ParseAlbumXml(FetchAlbumXml(XmlUrl));
}

TPhotoList TTavoAlbumParser::ParseAlbumXml(const std::string& Text) {
    TPhotoList photos;
    TRegExpr rx;  // freed on every exit, also when a search raises
    rx.OnMatchProgress = OnMatchProgress;
    rx.SetMatchStepLimit(MatchStepLimit);
    rx.SetExpression("song=\"(.*?)\"");
    if (rx.Exec(Text)) {
        FMusicUrl = rx.GroupText(1);
        ShowStatus("成功获取到背景音乐信息...");
    }
    rx.SetExpression("<image path=\"(.*?)\"");
    if (rx.Exec(Text)) {
        do {
            auto photo = std::make_unique<TPhotoObject>();
            photo->SetImagePath(rx.GroupText(1));
            photos.push_back(std::move(photo));
            ShowStatus("成功获取到相册图片信息...");
        } while (rx.ExecNext());
    }
    return photos;
}
