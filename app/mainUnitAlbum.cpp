// mainUnitAlbum: the main window's side of an album run (btnDownloadClick, FetchAlbumPage,
// DownloadAlbum; see mainUnit.h).
//
// The run itself is the window's TAlbumRun (album/albumRun.h). The window only wires its
// controls to it: the download button starts it with the address field and the music
// check box, the stop button stops it (mainUnit.cpp), and the run's events feed the
// status pane, the log memo, the photo list (cbbPhotos), the thumbnails and AlbumDir.
// A run starts with every thumbnail empty (no picture, no popup menu), so nothing of an
// earlier album stays on screen. A run that opened its album ends its log with a line of
// the counts and the folder. Whatever way a run ends, the download button is enabled
// again; an error that was not written to the log (the page could not be fetched) goes
// to the application's error handler, a message box.
#include "app/commonDefine.h"
#include "app/mainUnit.h"

#include "platform/rtl/FileSys.h"

#include <cstdio>
#include <cstdlib>

namespace {

// Where album folders go when the program's folder cannot be written (installed in
// /usr/bin): $HOME/Albrivo/, or the program's folder when there is no home.
std::string HomeAlbumFolder() {
    const char* home = std::getenv("HOME");
    if (!home || !*home) return AppDir;
    return IncludeTrailingPathDelimiter(home) + "Albrivo/";
}

}  // namespace

void TMainForm::WireAlbumRun() {
    FAlbumRun = std::make_unique<TAlbumRun>();
    FAlbumRun->SetPageClient(httpcli1);
    FAlbumRun->OnStatus = [](const std::string& text) { SetStatusText(text); };
    FAlbumRun->OnLog = [this](const std::string& line, TLogKind) { mmStatus->Lines().Add(line); };
    FAlbumRun->OnAlbumOpened = [this](const std::string& folder, int) { AlbumOpened(folder); };
    FAlbumRun->OnPhotoListed = [this](int, const std::string& url) { cbbPhotos->Items().Add(url); };
    FAlbumRun->OnPhotoFinished = [this](int index, const std::string& file, bool saved) {
        ShowThumbnail(index, file, saved);
    };
    FAlbumRun->OnEnded = [this](const TAlbumRunResult& result) { AlbumRunEnded(result); };
}

void TMainForm::btnDownloadClick(TObject*) {
    if (FAlbumRun->Running()) return;  // a run pumps messages: never start a second one inside it
    btnDownload->SetEnabled(false);
    mmStatus->Lines().Clear();
    ClearThumbnails();
    TAlbumRunSettings& settings = FAlbumRun->Settings();
    settings.BaseDir = AlbumBaseFolder(AppDir, HomeAlbumFolder());
    settings.XmlUrlPrefix = AlbumXmlUrlPrefix();
    settings.ReportUrl = ReportUrl();
    settings.UsageReport = UsageReportEnabled();
    settings.Version = AppVersion;
    settings.Music = chkAutoDownMusic->Checked();
    const std::string pageUrl = edtUrl->Text();
    FAlbumRun->RunSteps([this, &pageUrl] { FetchAlbumPage(pageUrl); });
    btnDownload->SetEnabled(true);
}

void TMainForm::FetchAlbumPage(const std::string& PageUrl) {
    TAlbumPage page = FAlbumRun->FetchAlbumPage(PageUrl);
    if (page.Recognised) DownloadAlbum(page.Title, page.AlbumId);
}

void TMainForm::DownloadAlbum(const std::string& Title, const std::string& AlbumId) {
    FAlbumRun->DownloadAlbum(Title, AlbumId);
}

// The album's folder is known: the photo list starts afresh and the gallery and the
// preview window look into the new folder.
void TMainForm::AlbumOpened(const std::string& Folder) {
    cbbPhotos->Items().Clear();
    AlbumDir = Folder;
}

// Shows photo Index in its thumbnail ("image1" ... "image30") with the popup menu. A
// photo that failed empties the thumbnail; a file that cannot be shown adds a log line,
// and the run goes on either way.
void TMainForm::ShowThumbnail(int Index, const std::string& FilePath, bool Saved) {
    if (Index >= ThumbnailCount) return;
    auto* image = dynamic_cast<TImage*>(FindComponent("image" + IntToStr(Index + 1)));
    if (!image) return;
    if (!Saved || !FileExists(FilePath)) {
        image->Picture().Clear();
        image->SetPopupMenu(nullptr);
        return;
    }
    try {
        image->Picture().LoadFromFile(FilePath);
    } catch (const Exception& e) {
        image->Picture().Clear();
        mmStatus->Lines().Add("无法显示图片: " + ExtractFileName(FilePath) + " (" + e.Message() + ")");
    }
    image->SetPopupMenu(popup1);
}

void TMainForm::ClearThumbnails() {
    for (TImage* image : Images) {
        image->Picture().Clear();
        image->SetPopupMenu(nullptr);
    }
}

std::string RunCountsLine(const TAlbumRunResult& Result, const std::string& Folder) {
    return "共 " + IntToStr(Result.PhotoCount) + " 张：新保存 " + IntToStr(Result.SavedCount - Result.SkippedCount) +
           "，跳过 " + IntToStr(Result.SkippedCount) + "，失败 " + IntToStr(Result.FailedCount) +
           (Result.End == TRunEnd::Stopped ? "，已停止" : "") + "；文件夹: " + Folder;
}

void TMainForm::AlbumRunEnded(const TAlbumRunResult& Result) {
    // A run that opened its album ends its log with the counts and the folder.
    if (!FAlbumRun->AlbumDir().empty()) mmStatus->Lines().Add(RunCountsLine(Result, FAlbumRun->AlbumDir()));
    if (!Result.Failure) return;
    try {
        std::rethrow_exception(Result.Failure);
    } catch (...) {
        if (Application)
            Application->HandleException(this);
        else
            std::fprintf(stderr, "%s\n", Result.Error.c_str());
    }
}
