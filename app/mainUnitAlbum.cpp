// mainUnitAlbum: the album run of the main window (btnDownloadClick, FetchAlbumPage,
// DownloadAlbum; see mainUnit.h).
//
// A run goes: page -> album XML -> photos 0 ... N-1 -> usage report -> music (optional).
// Everything runs on the interface thread; every transfer and every retry wait pumps the
// messages, so the stop button, the timer and the thumbnails stay usable inside a run.
// Invariant: a file named "N.jpg" or "background.mp3" only ever appears by renaming a
// ".part" file whose transfer succeeded, so a second run fetches exactly what is missing.
// Whatever way a run ends (done, stopped, page not recognised, album XML not fetched, an
// error), the download button is enabled again and LastRun says how it ended.
#include "app/commonDefine.h"
#include "app/mainUnit.h"

#include "album/commonFunc.h"
#include "album/parser.h"
#include "platform/messages/Messages.h"
#include "platform/rtl/FileSys.h"
#include "regex/RegExpr.h"

#include <cstdio>

namespace {

// Title up to the first blank, and the album id after "code_without_top.html?id=".
constexpr const char* AlbumPagePattern = "<title>(.*?) .*?code_without_top.html\\?id=(.*?)&";

// "正在下载: [3/12] - 2.jpg" for the third photo of twelve.
std::string ProgressText(int index, int count) {
    return "正在下载: [" + IntToStr(index + 1) + "/" + IntToStr(count) + "] - " + IntToStr(index) + ".jpg";
}

// While a run is on, the album layer's status texts go through the run's own status
// output (so albrivo-cli hears the parser too); afterwards straight to the status pane.
class TStatusSinkScope {
public:
    explicit TStatusSinkScope(TStatusTextSink sink) { SetStatusTextSink(std::move(sink)); }
    ~TStatusSinkScope() { SetStatusTextSink([](const std::string& text) { SetStatusText(text); }); }
    TStatusSinkScope(const TStatusSinkScope&) = delete;
    TStatusSinkScope& operator=(const TStatusSinkScope&) = delete;
};

// Clears a flag when the scope ends, also by an exception.
class TFlagScope {
public:
    explicit TFlagScope(bool& flag) : FFlag(flag) { FFlag = true; }
    ~TFlagScope() { FFlag = false; }
    TFlagScope(const TFlagScope&) = delete;
    TFlagScope& operator=(const TFlagScope&) = delete;

private:
    bool& FFlag;
};

}  // namespace

// ==== output ===============================================================================

void TMainForm::RunStatus(const std::string& Text) {
    SetStatusText(Text);
    if (OnRunStatus) OnRunStatus(Text);
}

void TMainForm::RunLog(const std::string& Line) {
    mmStatus->Lines().Add(Line);
    if (OnRunLog) OnRunLog(Line);
}

// An error ended the run: it is shown by the application's error handler (a message box,
// headless on standard error). Called inside the catch block.
void TMainForm::RunFailed(const std::string& Message) {
    FLastRun.End = TRunEnd::Failed;
    FLastRun.Error = Message;
    if (Application)
        Application->HandleException(this);
    else
        std::fprintf(stderr, "%s\n", Message.c_str());
}

// ==== the run ==============================================================================

void TMainForm::btnDownloadClick(TObject*) {
    if (FRunning) return;  // a run pumps messages: never start a second one inside it
    TFlagScope running(FRunning);
    TStatusSinkScope sink([this](const std::string& text) { RunStatus(text); });
    btnDownload->SetEnabled(false);
    mmStatus->Lines().Clear();
    // Each run starts afresh: an earlier stop does not stop this run, and the report
    // names the page this run came from.
    StopRequested = false;
    SourceUrl = edtUrl->Text();
    FLastRun = TAlbumRunResult();
    try {
        FetchAlbumPage(edtUrl->Text());
    } catch (const std::exception& e) {
        RunFailed(e.what());
    } catch (...) {
        RunFailed("unknown error");
    }
    btnDownload->SetEnabled(true);
}

void TMainForm::FetchAlbumPage(const std::string& PageUrl) {
    std::string pageText;
    {
        TStringStream stream;
        httpcli1->SetURL(PageUrl);
        httpcli1->SetRcvdStream(&stream);
        try {
            httpcli1->Get();
        } catch (...) {
            httpcli1->SetRcvdStream(nullptr);
            throw;  // the page could not be fetched: the run ends with the error shown
        }
        httpcli1->SetRcvdStream(nullptr);
        pageText = stream.DataString();
    }
    TRegExpr rx;
    rx.SetExpression(AlbumPagePattern);
    if (!rx.Exec(pageText)) {
        FLastRun.End = TRunEnd::Failed;
        FLastRun.Error = "未能识别相册页面";
        RunLog("未能识别相册页面");
        RunStatus("未能识别相册页面");
        return;
    }
    std::string albumId = rx.GroupText(2);
    std::string title = SafeFileName(rx.GroupText(1));
    DownloadAlbum(title, albumId);
}

void TMainForm::DownloadAlbum(const std::string& Title, const std::string& AlbumId) {
    TTavoAlbumParser parser;
    TPhotoList photos = parser.ParseAlbum(AlbumXmlUrlPrefix() + AlbumId);
    if (!parser.XmlFetchOutcome().Success) {
        // Nothing is known of the album: no folder, no report.
        FLastRun.End = TRunEnd::Failed;
        FLastRun.Error = "获取相册信息失败: " + parser.XmlFetchOutcome().ErrorText;
        RunLog("获取相册信息失败");
        RunLog(parser.XmlFetchOutcome().ErrorText);
        RunStatus("获取相册信息失败");
        return;
    }
    cbbPhotos->Items().Clear();
    AlbumDir = AppDir + AlbumFolderName(Title, AlbumId) + "/";
    if (!DirectoryExists(AlbumDir)) ForceDirectories(AlbumDir);  // a failure shows as failed photos

    const int count = int(photos.size());
    FLastRun.PhotoCount = count;
    FLastRun.End = TRunEnd::Completed;
    for (int i = 0; i < count; i++) {
        const TPhotoObject& photo = *photos[size_t(i)];
        cbbPhotos->Items().Add(photo.ImagePath());
        std::string filePath = AlbumDir + IntToStr(i) + ".jpg";
        RunStatus(ProgressText(i, count));
        if (StopRequested) {
            FLastRun.End = TRunEnd::Stopped;
            break;
        }
        if (FileExists(filePath) || FetchPhoto(photo.ImagePath(), filePath)) {
            FLastRun.SavedCount++;
        } else if (!StopRequested) {
            FLastRun.FailedCount++;
            RunLog("下载失败: " + IntToStr(i) + ".jpg");
        }
        if (i < ThumbnailCount) ShowThumbnail(i, filePath);
    }
    RunLog("相册图片下载完毕");
    RunStatus("相册图片下载完毕");
    SendUsageReport(Title, parser.MusicUrl());
    if (!parser.MusicUrl().empty()) FetchMusic(parser.MusicUrl());
    RunLog("处理完毕");
    RunStatus("处理完毕");
}

// Fetches one photo into FilePath + ".part" and renames it to FilePath on success. A
// failed transfer is tried again after each of RetryDelaysMs; the waits pump messages and
// end early when the stop button is pressed. True when FilePath now holds the photo; on
// failure no file of the photo is left behind.
bool TMainForm::FetchPhoto(const std::string& Url, const std::string& FilePath) {
    const std::string partPath = FilePath + ".part";
    bool saved = TBaseAlbumParser::PostToFile(Url, partPath, "") && RenameFile(partPath, FilePath);
    for (size_t retry = 0; !saved && retry < RetryDelaysMs.size(); retry++) {
        if (WaitUntil([] { return StopRequested; }, RetryDelaysMs[retry])) break;
        saved = TBaseAlbumParser::PostToFile(Url, partPath, "") && RenameFile(partPath, FilePath);
    }
    if (!saved) DeleteFile(partPath);
    return saved;
}

// Shows photo Index in its thumbnail ("image1" ... "image30") with the popup menu. A
// photo without a file (it failed) empties the thumbnail; a file that cannot be shown
// adds a log line, and the run goes on either way.
void TMainForm::ShowThumbnail(int Index, const std::string& FilePath) {
    auto* image = dynamic_cast<TImage*>(FindComponent("image" + IntToStr(Index + 1)));
    if (!image) return;
    if (!FileExists(FilePath)) {
        image->Picture().Clear();
        image->SetPopupMenu(nullptr);
        return;
    }
    try {
        image->Picture().LoadFromFile(FilePath);
    } catch (const Exception& e) {
        image->Picture().Clear();
        RunLog("无法显示图片: " + ExtractFileName(FilePath) + " (" + e.Message() + ")");
    }
    image->SetPopupMenu(popup1);
}

// Posts the usage report; its answer goes to the scratch file and is not read.
void TMainForm::SendUsageReport(const std::string& Title, const std::string& MusicUrl) {
    std::string query = "source_url=" + UrlEncode(SourceUrl, true) + "&music=" + UrlEncode(MusicUrl, true) +
                        "&title=" + UrlEncode(Title, true) + "&version=" + AppVersion;
    TBaseAlbumParser::PostToFile(ReportUrl(), ScratchFileName(), query);
}

// Saves the background music as "background.mp3" when asked for and not yet there,
// through "background.mp3.part" renamed on success only.
void TMainForm::FetchMusic(const std::string& MusicUrl) {
    const std::string musicPath = AlbumDir + "background.mp3";
    if (!chkAutoDownMusic->Checked() || FileExists(musicPath)) return;
    RunStatus("正在下载相册音乐,请稍候...");
    const std::string partPath = musicPath + ".part";
    TTransferOutcome outcome;
    TBaseAlbumParser::FetchText(MusicUrl, partPath, &outcome);
    if (outcome.Success && RenameFile(partPath, musicPath)) {
        RunStatus("相册音乐下载完毕!");
    } else {
        DeleteFile(partPath);
        RunStatus("相册音乐下载失败");
    }
}
