// The album run of the main window end to end, headless, against the demo site started
// on a free loopback port: files, thumbnails, progress, log lines, the usage report (read
// back from the site's report log), stop, resume, failing photos, music, and the ways a
// run cannot be done. Retry waits are shortened except where the schedule is the subject.
#include "app/commonDefine.h"
#include "app/mainUnit.h"
#include "demo/DemoSite.h"
#include "platform/messages/Messages.h"
#include "platform/rtl/FileSys.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

namespace {

std::string ReadFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

void WriteFile(const std::string& name, const std::string& content) {
    std::ofstream(name, std::ios::binary) << content;
}

// Decodes one form-encoded value ("+" is a blank, "%XX" a byte).
std::string FormDecode(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == '+') out += ' ';
        else if (s[i] == '%' && i + 2 < s.size()) {
            out += char(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else out += s[i];
    }
    return out;
}

std::map<std::string, std::string> FormFields(const std::string& body) {
    std::map<std::string, std::string> fields;
    std::stringstream in(body);
    std::string pair;
    while (std::getline(in, pair, '&')) {
        size_t eq = pair.find('=');
        fields[pair.substr(0, eq)] = eq == std::string::npos ? "" : FormDecode(pair.substr(eq + 1));
    }
    return fields;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream in(text);
    for (std::string l; std::getline(in, l);)
        if (!l.empty()) lines.push_back(l);
    return lines;
}

// A port with nothing listening: a site is started, its port noted, the site stopped.
int ClosedPort() {
    TDemoSiteThread site;
    return site.Site().Port();
}

std::string NewReportLog() {
    static int serial = 0;
    return PrivateTempDir() + "reports-" + std::to_string(++serial) + ".log";
}

TSiteOptions SiteWithReportLog(const std::string& file) {
    TSiteOptions o = TDemoSiteThread::Loopback();
    o.ReportLog = file;
    return o;
}

class AlbumRun : public ::testing::Test {
protected:
    std::string ReportLog = NewReportLog();
    mutable TDemoSiteThread Site{SiteWithReportLog(ReportLog)};
    std::unique_ptr<TApplication> App;
    std::vector<std::string> Statuses;  // every status text of the run, in order
    std::vector<std::string> Errors;    // messages of the application's error handler
    std::function<void(const std::string&)> OnStatus;

    void SetUp() override {
        static int serial = 0;
        ASSERT_TRUE(SetSiteHost(Site.Address()));
        InitializeMainUnit();
        App = std::make_unique<TApplication>();
        App->CreateForm(MainForm);
        App->OnException = [this](TObject*, const std::string& m) { Errors.push_back(m); };
        AppDir = PrivateTempDir() + "app-" + std::to_string(++serial) + "/";
        ASSERT_TRUE(ForceDirectories(AppDir));
        MainForm->RetryDelaysMs = {20, 40};
        MainForm->OnRunStatus = [this](const std::string& t) {
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
    bool Shown(const std::string& status) const {
        return std::find(Statuses.begin(), Statuses.end(), status) != Statuses.end();
    }
    // Request log lines since Mark that start with Prefix ("GET /photos/ID/").
    std::vector<std::string> Requests(const std::string& prefix, size_t mark = 0) const {
        std::vector<std::string> all = Site.Site().Requests(), hits;
        for (size_t i = mark; i < all.size(); i++)
            if (all[i].rfind(prefix, 0) == 0) hits.push_back(all[i].substr(0, all[i].find(' ', prefix.size())));
        return hits;
    }
    size_t Mark() const { return Site.Site().Requests().size(); }
    std::vector<std::map<std::string, std::string>> Reports() const {
        std::vector<std::map<std::string, std::string>> r;
        for (const std::string& line : Lines(ReadFile(ReportLog))) r.push_back(FormFields(line));
        return r;
    }
    static bool HasThumbnail(int index) {
        TImage* image = MainForm->Images[size_t(index)];
        return image->PopupMenu() == MainForm->popup1 && image->Picture().Graphic() &&
               !image->Picture().Graphic()->Empty();
    }
    static int FileCount(const std::string& folder, int photos) {
        int n = 0;
        for (int i = 0; i < photos; i++) n += FileExists(folder + std::to_string(i) + ".jpg");
        return n;
    }
    static bool NoPartFiles(const std::string& folder, int photos) {
        for (int i = 0; i < photos; i++)
            if (FileExists(folder + std::to_string(i) + ".jpg.part")) return false;
        return !FileExists(folder + "background.mp3.part");
    }
};

const std::vector<std::string> CompletionLines = {"相册图片下载完毕", "处理完毕"};

TEST_F(AlbumRun, TwelvePhotosFilesThumbnailsProgressAndReport) {
    Run("spring12");
    std::string folder = AppDir + "春日花园/";
    EXPECT_EQ(AlbumDir, folder);
    EXPECT_EQ(FileCount(folder, 12), 12);
    EXPECT_TRUE(NoPartFiles(folder, 12));
    for (int i = 0; i < 12; i++) EXPECT_TRUE(HasThumbnail(i)) << i;
    EXPECT_EQ(MainForm->Images[12]->PopupMenu(), nullptr);
    // Progress 1/12 ... 12/12 in order, then the completion texts.
    std::vector<std::string> progress;
    for (const std::string& s : Statuses)
        if (s.rfind("正在下载: [", 0) == 0) progress.push_back(s);
    ASSERT_EQ(progress.size(), 12u);
    for (int i = 0; i < 12; i++)
        EXPECT_EQ(progress[size_t(i)], "正在下载: [" + std::to_string(i + 1) + "/12] - " + std::to_string(i) + ".jpg");
    EXPECT_EQ(Statuses.back(), "处理完毕");
    EXPECT_EQ(MainForm->status1->Caption(), "处理完毕");
    EXPECT_EQ(Log(), CompletionLines);
    EXPECT_TRUE(MainForm->btnDownload->Enabled());
    EXPECT_EQ(MainForm->cbbPhotos->Items().Count(), 12);
    EXPECT_EQ(MainForm->cbbPhotos->Items()[0], Site.Url("/photos/spring12/0.jpg"));
    // Music not asked for: neither transfer nor texts.
    EXPECT_FALSE(FileExists(folder + "background.mp3"));
    EXPECT_TRUE(Requests("GET /music/").empty());
    EXPECT_FALSE(Shown("正在下载相册音乐,请稍候..."));
    // The report carries the page address, the music address and the title.
    auto reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0]["source_url"], Site.Url("/album/spring12.html"));
    EXPECT_EQ(reports[0]["music"], Site.Url("/music/spring12.mp3"));
    EXPECT_EQ(reports[0]["title"], "春日花园");
    EXPECT_EQ(reports[0]["version"], "KV1.0");
    EXPECT_EQ(MainForm->LastRun().End, TMainForm::TRunEnd::Completed);
    EXPECT_EQ(MainForm->LastRun().SavedCount, 12);
    EXPECT_TRUE(Errors.empty());
}

TEST_F(AlbumRun, AlbumSizes) {
    struct TCase { const char* Id; const char* Folder; int Photos; int Thumbnails; };
    const TCase cases[] = {
        {"night40", "城市夜景", 40, 30},   // photos 31 to 40 get files but no thumbnail
        {"empty0", "空相册", 0, 0},         // still both lines and the report
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Id);
        size_t reportsBefore = Reports().size();
        Run(c.Id);
        std::string folder = AppDir + c.Folder + "/";
        EXPECT_TRUE(DirectoryExists(folder));
        EXPECT_EQ(FileCount(folder, c.Photos), c.Photos);
        int thumbnails = 0;
        for (int i = 0; i < ThumbnailCount; i++) thumbnails += HasThumbnail(i);
        EXPECT_EQ(thumbnails, c.Thumbnails);
        EXPECT_EQ(MainForm->cbbPhotos->Items().Count(), c.Photos);
        EXPECT_EQ(Log(), CompletionLines);
        EXPECT_EQ(Reports().size(), reportsBefore + 1);
        // A new run clears the thumbnails' menus only by replacing them: reset for the next.
        for (TImage* image : MainForm->Images) image->SetPopupMenu(nullptr);
    }
}

TEST_F(AlbumRun, OddTitlesNameSafeFolders) {
    struct TCase { const char* Id; const char* Folder; const char* ReportTitle; };
    const TCase cases[] = {
        {"oddtitle", "旅行_日记_Tom_s", "旅行_日记_Tom_s"},
        {"dots", "album_dots", "..."},          // would name the parent folder
        {"blanktitle", "album_blanktitle", ""},  // empty title group: would be the program's folder
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Id);
        Run(c.Id);
        EXPECT_EQ(AlbumDir, AppDir + c.Folder + "/");
        EXPECT_TRUE(FileExists(AlbumDir + "0.jpg"));
        EXPECT_FALSE(FileExists(AppDir + "0.jpg"));
        EXPECT_EQ(Reports().back()["title"], c.ReportTitle);
    }
}

TEST_F(AlbumRun, StopDuringPhotoFivePressedThroughTheLoop) {
    // The click is queued when photo 5 starts and delivered by the loop while its
    // transfer waits, as a user's click would be.
    OnStatus = [](const std::string& t) {
        if (t == "正在下载: [5/12] - 4.jpg") Application->PostClick(MainForm->btn2);
    };
    Run("spring12", true);
    std::string folder = AppDir + "春日花园/";
    EXPECT_EQ(MainForm->LastRun().End, TMainForm::TRunEnd::Stopped);
    EXPECT_EQ(MainForm->cbbPhotos->Items().Count(), 6);
    EXPECT_EQ(FileCount(folder, 12), 5);
    EXPECT_EQ(Requests("GET /photos/").size(), 5u);
    EXPECT_TRUE(StopRequested);  // set by the button, cleared only by the next run
    EXPECT_EQ(Log(), CompletionLines);
    EXPECT_EQ(Reports().size(), 1u);                    // the report follows
    EXPECT_TRUE(FileExists(folder + "background.mp3"));  // and the music
    EXPECT_TRUE(MainForm->btnDownload->Enabled());

    // The next run starts afresh and fetches the seven that are missing.
    OnStatus = nullptr;
    size_t mark = Mark();
    Run("spring12", true);
    EXPECT_EQ(MainForm->LastRun().End, TMainForm::TRunEnd::Completed);
    EXPECT_EQ(FileCount(folder, 12), 12);
    EXPECT_EQ(Requests("GET /photos/", mark).size(), 7u);
}

TEST_F(AlbumRun, ResumeFetchesOnlyTheMissingPhotos) {
    Run("spring12");
    std::string folder = AppDir + "春日花园/";
    std::string seven = ReadFile(folder + "7.jpg");
    for (int i : {3, 7, 9}) ASSERT_TRUE(DeleteFile(folder + std::to_string(i) + ".jpg"));
    WriteFile(folder + "7.jpg.part", "stale half of an earlier try");
    size_t mark = Mark();
    Run("spring12");
    const std::vector<std::string> expected = {"GET /photos/spring12/3.jpg", "GET /photos/spring12/7.jpg",
                                               "GET /photos/spring12/9.jpg"};
    EXPECT_EQ(Requests("GET /photos/", mark), expected);
    EXPECT_EQ(FileCount(folder, 12), 12);
    EXPECT_TRUE(NoPartFiles(folder, 12));
    EXPECT_EQ(ReadFile(folder + "7.jpg"), seven);
    EXPECT_EQ(Reports().size(), 2u);  // reported again
}

TEST_F(AlbumRun, FailingPhotosAreRetriedThenLoggedWithoutAFile) {
    struct TCase { const char* Id; const char* Folder; int Bad; };
    const TCase cases[] = {{"missing404", "缺图相册", 2}, {"cutoff", "断线相册", 3}};
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Id);
        size_t mark = Mark();
        Run(c.Id);
        std::string folder = AppDir + c.Folder + "/", bad = std::to_string(c.Bad) + ".jpg";
        EXPECT_EQ(Requests(std::string("GET /photos/") + c.Id + "/" + bad, mark).size(), 3u);  // two retries
        EXPECT_FALSE(FileExists(folder + bad));
        EXPECT_TRUE(NoPartFiles(folder, 5));
        EXPECT_EQ(FileCount(folder, 5), 4);
        const std::vector<std::string> log = {"下载失败: " + bad, "相册图片下载完毕", "处理完毕"};
        EXPECT_EQ(Log(), log);
        EXPECT_FALSE(HasThumbnail(c.Bad));
        EXPECT_TRUE(HasThumbnail(c.Bad + 1));
        EXPECT_EQ(MainForm->LastRun().FailedCount, 1);
        EXPECT_EQ(MainForm->LastRun().End, TMainForm::TRunEnd::Completed);
    }
    EXPECT_TRUE(Errors.empty());
}

TEST_F(AlbumRun, RetriesWaitOneThenTwoSecondsAndTheStopButtonEndsTheWait) {
    MainForm->RetryDelaysMs = {1000, 2000};
    DWORD start = GetTickCount();
    Run("missing404");
    DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 3000u);
    EXPECT_LT(elapsed, 8000u);
    EXPECT_EQ(Log().front(), "下载失败: 2.jpg");

    // Pressed while photo 2 fails: the wait ends at once and the run stops there.
    OnStatus = [](const std::string& t) {
        if (t == "正在下载: [3/5] - 2.jpg") Application->PostClick(MainForm->btn2);
    };
    DeleteFile(AlbumDir + "2.jpg");
    start = GetTickCount();
    Run("missing404");
    EXPECT_LT(GetTickCount() - start, 900u);
    EXPECT_EQ(MainForm->LastRun().End, TMainForm::TRunEnd::Stopped);
    EXPECT_EQ(Log(), CompletionLines);
}

TEST_F(AlbumRun, BackgroundMusic) {
    struct TCase { const char* Name; bool Ticked; bool Present; bool Fetched; };
    const TCase cases[] = {
        {"ticked", true, false, true},
        {"not ticked", false, false, false},
        {"already present", true, true, false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        std::string music = AppDir + "春日花园/background.mp3";
        DeleteFile(music);
        if (c.Present) {
            ForceDirectories(AppDir + "春日花园/");
            WriteFile(music, "kept");
        }
        size_t mark = Mark();
        Run("spring12", c.Ticked);
        EXPECT_EQ(Requests("GET /music/", mark).size(), c.Fetched ? 1u : 0u);
        EXPECT_EQ(Shown("正在下载相册音乐,请稍候..."), c.Fetched);
        EXPECT_EQ(Shown("相册音乐下载完毕!"), c.Fetched);
        EXPECT_FALSE(Shown("相册音乐下载失败"));
        EXPECT_EQ(FileExists(music), c.Ticked || c.Present);
        if (c.Present) {
            EXPECT_EQ(ReadFile(music), "kept");
        }
        if (c.Fetched) {
            EXPECT_FALSE(ReadFile(music).empty());
        }
        EXPECT_TRUE(NoPartFiles(AppDir + "春日花园/", 12));
    }
}

TEST_F(AlbumRun, RunsThatCannotBeDone) {
    // The page's server cannot be reached: the error is shown, the button comes back.
    RunUrl("http://127.0.0.1:" + std::to_string(ClosedPort()) + "/album/spring12.html");
    ASSERT_EQ(Errors.size(), 1u);
    EXPECT_EQ(Errors[0], "Connection refused (Error #10061)");
    EXPECT_EQ(MainForm->LastRun().End, TMainForm::TRunEnd::Failed);
    EXPECT_TRUE(MainForm->btnDownload->Enabled());
    EXPECT_TRUE(Log().empty());

    // A page without the title-and-id pattern.
    RunUrl(Site.Url("/"));
    EXPECT_EQ(Log(), std::vector<std::string>{"未能识别相册页面"});
    EXPECT_EQ(MainForm->status1->Caption(), "未能识别相册页面");
    EXPECT_TRUE(MainForm->btnDownload->Enabled());

    // The album XML cannot be fetched: no folder, no report.
    ASSERT_TRUE(SetSiteHost("127.0.0.1:" + std::to_string(ClosedPort())));
    size_t reports = Reports().size();
    Run("spring12");
    ASSERT_EQ(Log().size(), 2u);
    EXPECT_EQ(Log()[0], "获取相册信息失败");
    EXPECT_FALSE(Log()[1].empty());
    EXPECT_EQ(MainForm->status1->Caption(), "获取相册信息失败");
    EXPECT_FALSE(DirectoryExists(AppDir + "春日花园/"));
    EXPECT_EQ(Reports().size(), reports);
    EXPECT_EQ(MainForm->LastRun().End, TMainForm::TRunEnd::Failed);
    EXPECT_TRUE(MainForm->btnDownload->Enabled());
    EXPECT_EQ(Errors.size(), 1u);
}

}  // namespace
