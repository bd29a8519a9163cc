// The main window's wiring of an album run, headless, against the demo site started on a
// free loopback port: the download button with the address field and the music check box,
// the thumbnails, the photo list, the log memo and the status pane fed by the run's
// events, the stop button, the message box of an error, and where album folders go. The
// run's own behaviour is tested in tests/album/AlbumRunTest.cpp.
#include "app/commonDefine.h"
#include "app/mainUnit.h"
#include "demo/DemoSite.h"
#include "platform/messages/Messages.h"
#include "platform/rtl/FileSys.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

std::string ReadFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

// A port with nothing listening: a site is started, its port noted, the site stopped.
int ClosedPort() {
    TDemoSiteThread site;
    return site.Site().Port();
}

class MainFormAlbum : public ::testing::Test {
protected:
    std::string ReportLog = PrivateTempDir() + "window-reports.log";
    TDemoSiteThread Site{SiteWithReportLog(ReportLog)};
    std::unique_ptr<TApplication> App;
    std::vector<std::string> Statuses;  // every status text of the run, in order
    std::vector<std::string> Errors;    // messages of the application's error handler
    std::function<void(const std::string&)> OnStatus;

    static TSiteOptions SiteWithReportLog(const std::string& file) {
        TSiteOptions o = TDemoSiteThread::Loopback();
        o.ReportLog = file;
        return o;
    }
    void SetUp() override {
        static int serial = 0;
        ASSERT_TRUE(SetSiteHost(Site.Address()));
        InitializeMainUnit();
        App = std::make_unique<TApplication>();
        App->CreateForm(MainForm);
        App->OnException = [this](TObject*, const std::string& m) { Errors.push_back(m); };
        AppDir = PrivateTempDir() + "app-" + std::to_string(++serial) + "/";
        ASSERT_TRUE(ForceDirectories(AppDir));
        TAlbumRun& run = MainForm->AlbumRun();
        run.Settings().RetryDelaysMs = {20, 40};
        // Hear the statuses too, after the window's own handler.
        auto window = run.OnStatus;
        run.OnStatus = [this, window](const std::string& t) {
            window(t);
            Statuses.push_back(t);
            if (OnStatus) OnStatus(t);
        };
    }
    void TearDown() override {
        App.reset();
        MainForm = nullptr;
        FinalizeMainUnit();
        SetSiteHost(DefaultSiteHost);
    }

    void Run(const std::string& albumId, bool music = false) { RunUrl(Site.Url("/album/" + albumId + ".html"), music); }
    void RunUrl(const std::string& url, bool music = false) {
        Statuses.clear();
        MainForm->edtUrl->SetText(url);
        MainForm->chkAutoDownMusic->SetChecked(music);
        MainForm->btnDownload->Click();
    }
    std::vector<std::string> Log() const { return MainForm->mmStatus->Lines().Items(); }
    static bool HasThumbnail(int index) {
        TImage* image = MainForm->Images[size_t(index)];
        return image->PopupMenu() == MainForm->popup1 && image->Picture().Graphic() &&
               !image->Picture().Graphic()->Empty();
    }
    static int Thumbnails() {
        int n = 0;
        for (int i = 0; i < ThumbnailCount; i++) n += HasThumbnail(i);
        return n;
    }
};

const std::vector<std::string> CompletionLines = {"相册图片下载完毕", "处理完毕"};

// The log of a run that opened its album: Lines, then the counts and the folder.
std::vector<std::string> RunLog(std::vector<std::string> lines) {
    lines.push_back(RunCountsLine(MainForm->LastRun(), AlbumDir));
    return lines;
}

TEST_F(MainFormAlbum, ADownloadFillsThumbnailsPhotoListLogAndStatus) {
    struct TCase { const char* Id; const char* Folder; int Photos; int Thumbnails; int Jobs; };
    const TCase cases[] = {
        {"spring12", "春日花园", 12, 12, 1},
        {"spring12", "春日花园", 12, 12, TAlbumRun::DefaultJobs},  // the window's default
        {"night40", "城市夜景", 40, 30, TAlbumRun::DefaultJobs},   // photos 31 to 40: no thumbnail
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(std::string(c.Id) + " jobs " + std::to_string(c.Jobs));
        for (TImage* image : MainForm->Images) image->SetPopupMenu(nullptr);
        MainForm->AlbumRun().Settings().Jobs = c.Jobs;
        Run(c.Id);
        EXPECT_EQ(AlbumDir, AppDir + c.Folder + "/");
        EXPECT_EQ(Thumbnails(), c.Thumbnails);
        if (c.Photos < ThumbnailCount) {
            EXPECT_EQ(MainForm->Images[size_t(c.Photos)]->PopupMenu(), nullptr);
        }
        EXPECT_EQ(MainForm->cbbPhotos->Items().Count(), c.Photos);
        EXPECT_EQ(MainForm->cbbPhotos->Items()[0], Site.Url("/photos/" + std::string(c.Id) + "/0.jpg"));
        EXPECT_EQ(MainForm->cbbPhotos->Items()[size_t(c.Photos - 1)],
                  Site.Url("/photos/" + std::string(c.Id) + "/" + std::to_string(c.Photos - 1) + ".jpg"));
        EXPECT_EQ(MainForm->status1->Caption(), "处理完毕");
        EXPECT_EQ(Log(), RunLog(CompletionLines));
        EXPECT_TRUE(MainForm->btnDownload->Enabled());
        EXPECT_EQ(MainForm->LastRun().End, TRunEnd::Completed);
        EXPECT_EQ(MainForm->LastRun().SavedCount, c.Photos);
    }
    EXPECT_EQ(MainForm->AlbumRun().Settings().Jobs, TAlbumRun::DefaultJobs);
    EXPECT_TRUE(Errors.empty());
    // The report names the page the address field held.
    EXPECT_NE(ReadFile(ReportLog).find("source_url=" + UrlEncode(Site.Url("/album/spring12.html"), true)),
              std::string::npos);
}

TEST_F(MainFormAlbum, TheMusicCheckBoxChoosesTheMusic) {
    Run("spring12", false);
    EXPECT_FALSE(FileExists(AlbumDir + "background.mp3"));
    Run("spring12", true);
    EXPECT_TRUE(FileExists(AlbumDir + "background.mp3"));
    EXPECT_TRUE(std::find(Statuses.begin(), Statuses.end(), "相册音乐下载完毕!") != Statuses.end());
}

TEST_F(MainFormAlbum, AFailedPhotoEmptiesItsThumbnailAndIsLogged) {
    MainForm->AlbumRun().Settings().Jobs = 1;
    Run("missing404");
    EXPECT_EQ(Log(), RunLog({"下载失败: 2.jpg (HTTP 404 Not Found)", "相册图片下载完毕", "处理完毕"}));
    EXPECT_FALSE(HasThumbnail(2));
    EXPECT_EQ(MainForm->Images[2]->PopupMenu(), nullptr);
    EXPECT_TRUE(HasThumbnail(3));
    EXPECT_EQ(MainForm->cbbPhotos->Items().Count(), 5);
}

TEST_F(MainFormAlbum, TheStopButtonStopsTheRunThroughTheLoop) {
    // The click is queued as photo 2 starts and delivered by the loop while its transfer
    // trickles in, as a user's click would be.
    MainForm->AlbumRun().Settings().Jobs = 1;
    OnStatus = [](const std::string& t) {
        if (t == "正在下载: [2/3] - 1.jpg") Application->PostClick(MainForm->btn2);
    };
    Run("slow", true);
    EXPECT_EQ(MainForm->LastRun().End, TRunEnd::Stopped);
    EXPECT_TRUE(MainForm->AlbumRun().StopRequested());
    EXPECT_EQ(MainForm->cbbPhotos->Items().Count(), 2);
    EXPECT_TRUE(HasThumbnail(0));
    EXPECT_FALSE(FileExists(AlbumDir + "1.jpg.part"));
    EXPECT_EQ(Log(), RunLog(CompletionLines));
    EXPECT_NE(Log().back().find("，已停止；"), std::string::npos) << Log().back();
    EXPECT_TRUE(MainForm->btnDownload->Enabled());
}

TEST_F(MainFormAlbum, RunsThatCannotBeDone) {
    // The page's server cannot be reached: the error, naming the server, is shown once,
    // the button comes back.
    const std::string dead = "127.0.0.1:" + std::to_string(ClosedPort());
    RunUrl("http://" + dead + "/album/spring12.html");
    ASSERT_EQ(Errors.size(), 1u);
    EXPECT_EQ(Errors[0], "Connection refused (Error #10061): " + dead);
    EXPECT_EQ(MainForm->LastRun().End, TRunEnd::Failed);
    EXPECT_TRUE(MainForm->btnDownload->Enabled());
    EXPECT_TRUE(Log().empty());

    // A host whose name cannot be looked up.
    RunUrl("http://no-such-host.invalid/album/spring12.html");
    ASSERT_EQ(Errors.size(), 2u);
    EXPECT_EQ(Errors[1], "can't resolve hostname to IP address: no-such-host.invalid:80");

    // A page without the title-and-id pattern: the log and the status say so, no box.
    RunUrl(Site.Url("/"));
    EXPECT_EQ(Log(), std::vector<std::string>{"未能识别相册页面"});
    EXPECT_EQ(MainForm->status1->Caption(), "未能识别相册页面");
    EXPECT_TRUE(MainForm->btnDownload->Enabled());
    EXPECT_EQ(Errors.size(), 2u);
}

TEST_F(MainFormAlbum, TheAlbumIsReadOnTheSiteOfThePage) {
    // The site named at start (--site) is another host: the page's own site still serves
    // the album's XML and photos.
    ASSERT_TRUE(SetSiteHost("127.0.0.1:" + std::to_string(ClosedPort())));
    Run("spring12");
    EXPECT_EQ(MainForm->LastRun().End, TRunEnd::Completed);
    EXPECT_EQ(MainForm->LastRun().SavedCount, 12);
    EXPECT_TRUE(Errors.empty());

    // Without a named site, a page address that names none cannot be used.
    ResetSiteHost();
    RunUrl("/album/spring12.html");
    ASSERT_EQ(Errors.size(), 1u);
    EXPECT_EQ(Errors[0], "不支持的地址: /album/spring12.html (the address names no site)");
    EXPECT_TRUE(MainForm->btnDownload->Enabled());
}

TEST_F(MainFormAlbum, EveryThumbnailIsClearedWhenARunStarts) {
    Run("night40");
    ASSERT_EQ(Thumbnails(), 30);
    // A smaller album, with photo 2 failing: nothing of the earlier album stays.
    MainForm->AlbumRun().Settings().Jobs = 1;
    Run("missing404");
    for (int i = 0; i < ThumbnailCount; i++) {
        SCOPED_TRACE(i);
        bool filled = i < 5 && i != 2;
        EXPECT_EQ(HasThumbnail(i), filled);
        if (!filled) {
            EXPECT_EQ(MainForm->Images[size_t(i)]->Picture().Graphic(), nullptr);
            EXPECT_EQ(MainForm->Images[size_t(i)]->PopupMenu(), nullptr);
        }
    }
}

TEST_F(MainFormAlbum, TheDownloadButtonRefusesASecondRunWhileOneRuns) {
    // Clicks on the button, delivered by the loop while a photo trickles in.
    MainForm->AlbumRun().Settings().Jobs = 1;
    int clicks = 0;
    OnStatus = [&clicks](const std::string& t) {
        if (t.rfind("正在下载: [", 0) == 0 && clicks++ < 2) Application->PostClick(MainForm->btnDownload);
    };
    Run("slow");
    OnStatus = nullptr;
    EXPECT_EQ(clicks, 3);
    EXPECT_EQ(std::count(Statuses.begin(), Statuses.end(), "正在获取相册信息..."), 1);
    EXPECT_EQ(MainForm->LastRun().End, TRunEnd::Completed);
    EXPECT_EQ(MainForm->LastRun().SavedCount, 3);
    EXPECT_EQ(Log(), RunLog(CompletionLines));
    EXPECT_TRUE(MainForm->btnDownload->Enabled());
}

TEST_F(MainFormAlbum, ASavedPhotoThatCannotBeShownIsLoggedAndTheRunGoesOn) {
    // A file an earlier run left that starts and ends like a JPEG but is none: it is kept
    // (it looks whole), its thumbnail cannot show it.
    std::string folder = AppDir + "旅行_日记_Tom_s/";
    ASSERT_TRUE(ForceDirectories(folder));
    std::ofstream(folder + "0.jpg", std::ios::binary) << std::string("\xFF\xD8\xFF\xE0 not really a JPEG \xFF\xD9");
    Run("oddtitle");
    std::vector<std::string> log = Log();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].rfind("无法显示图片: 0.jpg (", 0), 0u) << log[0];
    EXPECT_EQ(std::vector<std::string>(log.begin() + 1, log.end()), RunLog(CompletionLines));
    EXPECT_FALSE(HasThumbnail(0));
    EXPECT_TRUE(HasThumbnail(1));
    EXPECT_TRUE(HasThumbnail(2));
    EXPECT_EQ(MainForm->LastRun().End, TRunEnd::Completed);
    EXPECT_EQ(MainForm->LastRun().SkippedCount, 1);
    EXPECT_TRUE(Errors.empty());
}

TEST(RunCountsLine, CountsAndFolder) {
    TAlbumRunResult r;
    r.PhotoCount = 12;
    r.SavedCount = 11;
    r.SkippedCount = 9;
    r.FailedCount = 1;
    r.End = TRunEnd::Completed;
    EXPECT_EQ(RunCountsLine(r, "/a/"), "共 12 张：新保存 2，跳过 9，失败 1；文件夹: /a/");
    r.End = TRunEnd::Stopped;
    EXPECT_EQ(RunCountsLine(r, "/a/"), "共 12 张：新保存 2，跳过 9，失败 1，已停止；文件夹: /a/");
}

TEST_F(MainFormAlbum, AlbumsGoToTheHomeFolderWhenTheProgramsFolderCannotBeWritten) {
    const char* oldHome = std::getenv("HOME");
    std::string savedHome = oldHome ? oldHome : "";
    std::string home = PrivateTempDir() + "home/";
    ASSERT_TRUE(ForceDirectories(home));
    setenv("HOME", home.c_str(), 1);
    AppDir = PrivateTempDir() + "no-such-program-folder/";
    Run("oddtitle");
    EXPECT_EQ(AlbumDir, home + "Albrivo/旅行_日记_Tom_s/");
    EXPECT_TRUE(FileExists(AlbumDir + "0.jpg"));
    if (oldHome) setenv("HOME", savedHome.c_str(), 1);
    else unsetenv("HOME");
}

}  // namespace
