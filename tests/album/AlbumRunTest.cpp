// The album run (TAlbumRun) end to end, headless, against the demo site started on a free
// loopback port: files, progress texts, log lines, events, the usage report (read back
// from the site's report log), photos in flight, stop, resume of missing photos, failing
// photos, music, and the ways a run cannot be done. Retry waits are shortened except
// where the schedule is the subject.
#include "demo/SiteMedia.h"
#include "net/http/HttpProt.h"
#include "tests/album/RunFixture.h"
#include "tests/support/ScriptedServer.h"

namespace {

using namespace runfixture;

const std::vector<std::string> CompletionLines = {"相册图片下载完毕", "处理完毕"};

class AlbumRun : public TRunFixture {};

// ---- one photo at a time: the texts and order of old ------------------------------------

TEST_F(AlbumRun, OneAtATimeTwelvePhotosFilesProgressAndReport) {
    Run.Settings().Jobs = 1;
    RunAlbum("spring12");
    std::string folder = BaseDir + "春日花园/";
    EXPECT_EQ(Run.AlbumDir(), folder);
    EXPECT_EQ(OpenedFolder, folder);
    EXPECT_EQ(FileCount(folder, 12), 12);
    EXPECT_TRUE(NoPartFiles(folder, 12));
    // Progress 1/12 ... 12/12 in order, each as its photo starts, then the completion texts.
    std::vector<std::string> progress = Progress();
    ASSERT_EQ(progress.size(), 12u);
    for (int i = 0; i < 12; i++)
        EXPECT_EQ(progress[size_t(i)], "正在下载: [" + std::to_string(i + 1) + "/12] - " + std::to_string(i) + ".jpg");
    const std::vector<std::string> head = {"正在获取相册信息...", "成功获取到背景音乐信息...", "成功获取到相册图片信息..."};
    EXPECT_TRUE(std::equal(head.begin(), head.end(), Statuses.begin()));
    EXPECT_EQ(Statuses.back(), "处理完毕");
    EXPECT_EQ(Log, CompletionLines);
    EXPECT_TRUE(ErrorLog.empty());
    // Strictly one at a time, in album order.
    EXPECT_EQ(MaxInFlight, 1);
    for (int i = 0; i < 12; i++) {
        EXPECT_EQ(Listed[size_t(i)], i);
        EXPECT_EQ(Finished[size_t(i)], std::make_pair(i, true));
    }
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
    EXPECT_EQ(Result().End, TRunEnd::Completed);
    EXPECT_EQ(Result().SavedCount, 12);
    EXPECT_EQ(Result().PhotoCount, 12);
    EXPECT_EQ(Ended, 1);
}

// ---- several photos in flight -----------------------------------------------------------

TEST_F(AlbumRun, SeveralInFlightFilesByIndexAndTextsCountFinishedPhotos) {
    struct TCase { const char* Id; const char* Folder; int Photos; int Jobs; };
    const TCase cases[] = {
        {"night40", "城市夜景", 40, 4},
        {"spring12", "春日花园", 12, 16},
        {"oddtitle", "旅行_日记_Tom_s", 3, 2},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Id);
        Run.Settings().Jobs = c.Jobs;
        RunAlbum(c.Id);
        std::string folder = BaseDir + c.Folder + "/";
        EXPECT_EQ(FileCount(folder, c.Photos), c.Photos);
        EXPECT_TRUE(NoPartFiles(folder, c.Photos));
        for (int i = 0; i < c.Photos; i++)
            EXPECT_EQ(ReadFile(folder + std::to_string(i) + ".jpg"), *DemoPhotoJpeg(c.Id, i)) << i;
        EXPECT_LE(MaxInFlight, std::min(c.Jobs, c.Photos));
        EXPECT_GT(MaxInFlight, 1);
        // Started in album order; each photo ends exactly once.
        std::vector<int> order(size_t(c.Photos));
        for (int i = 0; i < c.Photos; i++) order[size_t(i)] = i;
        EXPECT_EQ(Listed, order);
        std::vector<int> ended;
        for (auto& f : Finished) ended.push_back(f.first);
        std::sort(ended.begin(), ended.end());
        EXPECT_EQ(ended, order);
        // One "[i/N] - k.jpg" per photo as it starts, in album order, i = k + 1 (the
        // texts once named another photo than the one they counted).
        std::vector<std::string> progress = Progress();
        ASSERT_EQ(int(progress.size()), c.Photos);
        for (int i = 0; i < c.Photos; i++)
            EXPECT_EQ(progress[size_t(i)], "正在下载: [" + std::to_string(i + 1) + "/" + std::to_string(c.Photos) +
                                               "] - " + std::to_string(i) + ".jpg");
        EXPECT_EQ(Log, CompletionLines);
        EXPECT_EQ(Result().SavedCount, c.Photos);
    }
}

TEST_F(AlbumRun, AlbumSizes) {
    struct TCase { const char* Id; const char* Folder; int Photos; };
    const TCase cases[] = {
        {"night40", "城市夜景", 40},
        {"empty0", "空相册", 0},  // still both lines and the report
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Id);
        size_t reportsBefore = Reports().size();
        RunAlbum(c.Id);
        std::string folder = BaseDir + c.Folder + "/";
        EXPECT_TRUE(DirectoryExists(folder));
        EXPECT_EQ(FileCount(folder, c.Photos), c.Photos);
        EXPECT_EQ(int(Listed.size()), c.Photos);
        EXPECT_EQ(Log, CompletionLines);
        EXPECT_EQ(Reports().size(), reportsBefore + 1);
    }
}

TEST_F(AlbumRun, OddTitlesNameSafeFolders) {
    struct TCase { const char* Id; const char* Folder; const char* ReportTitle; };
    const TCase cases[] = {
        {"oddtitle", "旅行_日记_Tom_s", "旅行_日记_Tom_s"},
        {"dots", "album_dots", "..."},          // would name the parent folder
        {"blanktitle", "album_blanktitle", ""},  // empty title group: would be the base folder
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Id);
        RunAlbum(c.Id);
        EXPECT_EQ(Run.AlbumDir(), BaseDir + c.Folder + "/");
        EXPECT_TRUE(FileExists(Run.AlbumDir() + "0.jpg"));
        EXPECT_FALSE(FileExists(BaseDir + "0.jpg"));
        EXPECT_EQ(Reports().back()["title"], c.ReportTitle);
    }
}

// ---- stop ---------------------------------------------------------------------------------

TEST_F(AlbumRun, StopCancelsThePhotosInFlightAndLeavesNoPart) {
    // The slow album trickles every photo; the stop comes as photo 2 starts (one at a
    // time) or as the first four start, and cancels what is in flight at once.
    for (int jobs : {1, 4}) {
        SCOPED_TRACE(jobs);
        Run.Settings().Jobs = jobs;
        std::string folder = BaseDir + "慢速相册/";
        for (int i = 0; i < 3; i++) DeleteFile(folder + std::to_string(i) + ".jpg");
        OnStatus = [this, jobs](const std::string& t) {
            if (t == (jobs == 1 ? "正在下载: [2/3] - 1.jpg" : "正在下载: [1/3] - 0.jpg")) PostStop();
        };
        StoppedAt = 0;
        RunAlbum("slow", true);
        DWORD after = GetTickCount() - StoppedAt;
        ASSERT_NE(StoppedAt, 0u);
        EXPECT_LT(after, 3000u);  // generous: the cancel itself takes milliseconds
        EXPECT_EQ(Result().End, TRunEnd::Stopped);
        EXPECT_TRUE(Run.StopRequested());
        EXPECT_TRUE(NoPartFiles(folder, 3));
        EXPECT_EQ(FileCount(folder, 3), jobs == 1 ? 1 : 0);
        EXPECT_EQ(Result().SavedCount, jobs == 1 ? 1 : 0);
        EXPECT_EQ(Result().FailedCount, 0);  // a cancelled photo is not a failed one
        EXPECT_TRUE(ErrorLog.empty());
        EXPECT_EQ(Log, CompletionLines);
        EXPECT_FALSE(FileExists(folder + "background.mp3"));  // a stopped run starts no download
        EXPECT_FALSE(Shown("正在下载相册音乐,请稍候..."));
    }
    EXPECT_EQ(Reports().size(), 2u);  // the report still goes
    // The next run starts afresh and fetches what is missing.
    OnStatus = nullptr;
    RunAlbum("slow");
    EXPECT_EQ(Result().End, TRunEnd::Completed);
    EXPECT_EQ(FileCount(BaseDir + "慢速相册/", 3), 3);
}

TEST_F(AlbumRun, StopWhenIdleChangesNothingAndTheNextRunStartsAfresh) {
    Run.Stop();
    EXPECT_TRUE(Run.StopRequested());
    EXPECT_FALSE(Run.Running());
    RunAlbum("oddtitle");
    EXPECT_FALSE(Run.StopRequested());
    EXPECT_EQ(Result().End, TRunEnd::Completed);
}

// ---- what is already there ----------------------------------------------------------------

TEST_F(AlbumRun, ResumeFetchesOnlyWhatIsMissingOrNoPicture) {
    RunAlbum("spring12");
    std::string folder = BaseDir + "春日花园/";
    std::string seven = ReadFile(folder + "7.jpg");
    for (int i : {3, 7, 9}) ASSERT_TRUE(DeleteFile(folder + std::to_string(i) + ".jpg"));
    WriteFile(folder + "7.jpg.part", "stale half of an earlier try");
    // An error page saved by an older run, and an empty file: no pictures, fetched again.
    WriteFile(folder + "4.jpg", "<html><body>502 Bad Gateway</body></html>");
    WriteFile(folder + "5.jpg", "");
    // A photo cut short by an older tool (or a full disk): it starts like a picture, but
    // does not end like one.
    std::string eight = ReadFile(folder + "8.jpg");
    WriteFile(folder + "8.jpg", eight.substr(0, eight.size() / 2));
    size_t mark = Mark();
    Run.Settings().Jobs = 1;
    RunAlbum("spring12");
    const std::vector<std::string> expected = {"GET /photos/spring12/3.jpg", "GET /photos/spring12/4.jpg",
                                               "GET /photos/spring12/5.jpg", "GET /photos/spring12/7.jpg",
                                               "GET /photos/spring12/8.jpg", "GET /photos/spring12/9.jpg"};
    EXPECT_EQ(Requests("GET /photos/", mark), expected);
    EXPECT_EQ(FileCount(folder, 12), 12);
    EXPECT_TRUE(NoPartFiles(folder, 12));
    EXPECT_EQ(ReadFile(folder + "7.jpg"), seven);
    EXPECT_EQ(ReadFile(folder + "4.jpg"), *DemoPhotoJpeg("spring12", 4));
    EXPECT_EQ(ReadFile(folder + "8.jpg"), eight);
    EXPECT_EQ(Result().SavedCount, 12);
    EXPECT_EQ(Result().SkippedCount, 6);
    // The photos already there say so; only the fetched ones say "正在下载".
    EXPECT_TRUE(Shown("已存在，跳过: [1/12] - 0.jpg"));
    EXPECT_FALSE(Shown("正在下载: [1/12] - 0.jpg"));
    EXPECT_EQ(Progress().size(), 6u);
    EXPECT_EQ(Reports().size(), 2u);  // reported again
}

TEST_F(AlbumRun, ASecondRunOfACompleteAlbumSaysWhatItSkipped) {
    RunAlbum("spring12", true);
    ASSERT_EQ(Result().SkippedCount, 0);
    size_t mark = Mark();
    RunAlbum("spring12", true);
    EXPECT_TRUE(Requests("GET /photos/", mark).empty());
    EXPECT_TRUE(Requests("GET /music/", mark).empty());
    EXPECT_TRUE(Progress().empty());
    for (int i = 0; i < 12; i++)
        EXPECT_TRUE(Shown("已存在，跳过: [" + std::to_string(i + 1) + "/12] - " + std::to_string(i) + ".jpg")) << i;
    const std::vector<std::string> log = {"相册图片下载完毕", "已存在，跳过: background.mp3", "处理完毕"};
    EXPECT_EQ(Log, log);
    EXPECT_EQ(Result().SavedCount, 12);
    EXPECT_EQ(Result().SkippedCount, 12);
    EXPECT_EQ(Result().FailedCount, 0);
}

// ---- failing photos -----------------------------------------------------------------------

TEST_F(AlbumRun, FailingPhotosAreRetriedThenLoggedWithoutAFile) {
    // A 404 is final: asked for once (it used to be asked for three times).
    struct TCase { const char* Id; const char* Folder; int Bad; int Jobs; size_t Asked; };
    const TCase cases[] = {
        {"missing404", "缺图相册", 2, 1, 1}, {"cutoff", "断线相册", 3, 1, 3}, {"missing404", "缺图相册", 2, 4, 1},
        {"cutoff", "断线相册", 3, 4, 3}};
    for (const TCase& c : cases) {
        SCOPED_TRACE(std::string(c.Id) + " jobs " + std::to_string(c.Jobs));
        Run.Settings().Jobs = c.Jobs;
        size_t mark = Mark();
        RunAlbum(c.Id);
        std::string folder = BaseDir + c.Folder + "/", bad = std::to_string(c.Bad) + ".jpg";
        EXPECT_EQ(Requests(std::string("GET /photos/") + c.Id + "/" + bad, mark).size(), c.Asked);
        EXPECT_FALSE(FileExists(folder + bad));
        EXPECT_TRUE(NoPartFiles(folder, 5));
        EXPECT_EQ(FileCount(folder, 5), 4);
        ASSERT_EQ(ErrorLog.size(), 1u);
        EXPECT_EQ(ErrorLog[0].rfind("下载失败: " + bad + " (", 0), 0u) << ErrorLog[0];
        const std::vector<std::string> log = {ErrorLog[0], "相册图片下载完毕", "处理完毕"};
        EXPECT_EQ(Log, log);
        EXPECT_EQ(Result().FailedCount, 1);
        EXPECT_EQ(Result().End, TRunEnd::Completed);
        EXPECT_TRUE(std::find(Finished.begin(), Finished.end(), std::make_pair(c.Bad, false)) != Finished.end());
    }
}

TEST_F(AlbumRun, RetriesWaitOneThenTwoSecondsAndTheStopEndsTheWait) {
    Run.Settings().RetryDelaysMs = {1000, 2000};
    Run.Settings().Jobs = 1;
    DWORD start = GetTickCount();
    RunAlbum("cutoff");
    DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 3000u);
    EXPECT_LT(elapsed, 8000u);
    EXPECT_EQ(Log.front().rfind("下载失败: 3.jpg (connection closed after ", 0), 0u) << Log.front();

    // Pressed while photo 3 fails: the wait ends at once and the run stops there.
    OnStatus = [this](const std::string& t) {
        if (t == "正在下载: [4/5] - 3.jpg") PostStop();
    };
    DeleteFile(Run.AlbumDir() + "3.jpg");
    start = GetTickCount();
    RunAlbum("cutoff");
    EXPECT_LT(GetTickCount() - start, 900u);
    EXPECT_EQ(Result().End, TRunEnd::Stopped);
    EXPECT_EQ(Log, CompletionLines);
}

// ---- the album folder ---------------------------------------------------------------------

TEST_F(AlbumRun, AFolderThatCannotBeMadeFailsEveryPhotoAndNamesTheFolder) {
    // The folder's parent is a regular file: no folder can be made under it (even by root).
    WriteFile(BaseDir + "plain-file", "x");
    Run.Settings().BaseDir = BaseDir + "plain-file/";
    size_t mark = Mark();
    RunAlbum("oddtitle");
    EXPECT_EQ(Result().End, TRunEnd::Completed);
    EXPECT_EQ(Result().FailedCount, 3);
    EXPECT_EQ(Result().SavedCount, 0);
    EXPECT_FALSE(Result().FolderError.empty());
    const std::string folder = BaseDir + "plain-file/旅行_日记_Tom_s/";
    const std::vector<std::string> errors = {"下载失败: 0.jpg (the folder cannot be created)",
                                             "下载失败: 1.jpg (the folder cannot be created)",
                                             "下载失败: 2.jpg (the folder cannot be created)",
                                             "无法写入相册文件夹: " + folder + " (the folder cannot be created)"};
    EXPECT_EQ(ErrorLog, errors);
    EXPECT_TRUE(Requests("GET /photos/", mark).empty());  // nothing fetched for nowhere
}

// ---- music --------------------------------------------------------------------------------

TEST_F(AlbumRun, BackgroundMusic) {
    struct TCase { const char* Name; bool Ticked; bool Present; bool Fetched; };
    const TCase cases[] = {
        {"ticked", true, false, true},
        {"not ticked", false, false, false},
        {"already present", true, true, false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        std::string music = BaseDir + "春日花园/background.mp3";
        DeleteFile(music);
        if (c.Present) {
            ForceDirectories(BaseDir + "春日花园/");
            WriteFile(music, "kept");
        }
        size_t mark = Mark();
        RunAlbum("spring12", c.Ticked);
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
        EXPECT_TRUE(NoPartFiles(BaseDir + "春日花园/", 12));
    }
}

// ---- runs that cannot be done -------------------------------------------------------------

TEST_F(AlbumRun, RunsThatCannotBeDone) {
    // The page's server cannot be reached: the error, naming the server, is the owner's
    // to show.
    const std::string dead = "127.0.0.1:" + std::to_string(ClosedPort());
    RunUrl("http://" + dead + "/album/spring12.html");
    EXPECT_EQ(Result().End, TRunEnd::Failed);
    EXPECT_EQ(Result().Error, "Connection refused (Error #10061): " + dead);
    EXPECT_TRUE(Result().Failure != nullptr);
    EXPECT_TRUE(Log.empty());
    EXPECT_EQ(Ended, 1);

    // A page without the title-and-id pattern: one line, also the status.
    RunUrl(Site.Url("/"));
    EXPECT_EQ(Log, std::vector<std::string>{"未能识别相册页面"});
    EXPECT_EQ(ErrorLog, Log);
    EXPECT_EQ(Statuses.back(), "未能识别相册页面");
    EXPECT_EQ(Result().End, TRunEnd::Failed);
    EXPECT_EQ(Result().Error, "未能识别相册页面");
    EXPECT_TRUE(Result().Failure == nullptr);  // written to the log: nothing more to show

    // The album XML cannot be fetched: no folder, no report; one line with the cause.
    Run.Settings().XmlUrlPrefix = "http://" + dead + "/xml?";
    size_t reports = Reports().size();
    Log.clear();
    Run.RunSteps([this] { Run.DownloadAlbum("春日花园", "spring12"); });
    const std::string line = "获取相册信息失败: Connection refused (Error #10061): " + dead;
    EXPECT_EQ(Log, std::vector<std::string>{line});
    EXPECT_EQ(Statuses.back(), line);
    EXPECT_EQ(Result().Error, line);
    EXPECT_FALSE(DirectoryExists(BaseDir + "春日花园/"));
    EXPECT_EQ(Reports().size(), reports);
    EXPECT_EQ(Result().End, TRunEnd::Failed);
}

// ---- pages the engine works hard on -------------------------------------------------------

namespace {

std::string Repeat(const std::string& unit, size_t size) {
    std::string s;
    while (s.size() < size) s += unit;
    return s;
}

// The shape that once kept a run matching for minutes: a title of many blanks, and the
// player address with no "&" after the album id.
std::string PageOfBlanks(size_t size) {
    std::string page = "<html><head><title>" + Repeat("spring album ", size / 2) + "</title></head><body>";
    page += "<a href=\"/code_without_top.html?id=2290117\">slide show</a>\r\n";
    return page + Repeat("<p>lovely pictures, thanks for sharing</p>\r\n", size - page.size());
}

// A server that answers one request with Page.
std::unique_ptr<TScriptedServer> ServePage(const std::string& page) {
    const std::string reply = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                              std::to_string(page.size()) + "\r\n\r\n" + page;
    return std::make_unique<TScriptedServer>(std::vector<TScript>{TScript().ReadRequest().Send(reply).Close()});
}

std::string PageUrl(const TScriptedServer& server) {
    return "http://127.0.0.1:" + std::to_string(server.Port()) + "/album/big.html";
}

}  // namespace

TEST_F(AlbumRun, APageOfTheExplosiveShapeAtTheCapIsTurnedDownQuickly) {
    auto server = ServePage(PageOfBlanks(TAlbumRun::MaxPageBytes - 4096));
    const uint64_t start = GetTickCount64();
    RunUrl(PageUrl(*server));
    EXPECT_LT(GetTickCount64() - start, 10000u);
    EXPECT_EQ(Log, std::vector<std::string>{"未能识别相册页面"});
    EXPECT_EQ(Result().End, TRunEnd::Failed);
}

TEST_F(AlbumRun, APageTheEngineGivesUpOnIsReportedUnreadable) {
    Run.Settings().MatchStepLimit = 1000;
    auto server = ServePage(PageOfBlanks(120 * 1024));
    RunUrl(PageUrl(*server));
    const std::vector<std::string> lines = {"无法读取相册页面: TRegExpr(exec): Match Step Limit Exceeded"};
    EXPECT_EQ(Log, lines);
    EXPECT_EQ(ErrorLog, lines);
    EXPECT_EQ(Statuses.back(), lines[0]);
    EXPECT_EQ(Result().End, TRunEnd::Failed);
    EXPECT_EQ(Result().Error, "无法读取相册页面: TRegExpr(exec): Match Step Limit Exceeded");
    EXPECT_TRUE(Result().Failure == nullptr);  // written to the log: nothing more to show
    EXPECT_EQ(Ended, 1);
}

TEST_F(AlbumRun, AnAlbumXmlTheEngineGivesUpOnIsReportedUnreadable) {
    Run.Settings().MatchStepLimit = 1;
    Run.RunSteps([this] { Run.DownloadAlbum("春日花园", "spring12"); });
    EXPECT_EQ(Log, std::vector<std::string>{"无法读取相册信息: TRegExpr(exec): Match Step Limit Exceeded"});
    EXPECT_EQ(Result().End, TRunEnd::Failed);
    EXPECT_FALSE(DirectoryExists(BaseDir + "春日花园/"));
}

TEST_F(AlbumRun, TheStopIsHeardDuringALongPageMatch) {
    // Titles and blanks up to the cap: no match, after most of a second of matching.
    auto server = ServePage(Repeat("<title> c c c c c c c c ", TAlbumRun::MaxPageBytes - 4096));
    // The page's client starts the stop's timer when the page is in: the stop comes while
    // the page is matched, and the match hears it.
    THttpCli client(nullptr);
    client.OnDocEnd = [this](TObject*) { StopAfter(20); };
    Run.SetPageClient(&client);
    RunUrl(PageUrl(*server));
    // Had the match run to its end, the page would have been turned down (Failed).
    EXPECT_EQ(Result().End, TRunEnd::Stopped);
    EXPECT_NE(StoppedAt, 0u);
    EXPECT_LT(GetTickCount() - StoppedAt, 500u);
    EXPECT_TRUE(ErrorLog.empty());
}

// ---- the causes a failure names ---------------------------------------------------------

TEST_F(AlbumRun, PageFailuresNameTheirCause) {
    struct TCase { std::string Url; std::string Error; };
    const TCase cases[] = {
        {Site.Url("/album/nosuchalbum.html"), "HTTP 404 Not Found"},
        // The lookup's own text names no host: the run adds it.
        {"http://no-such-host.invalid/album/spring12.html", "can't resolve hostname to IP address: no-such-host.invalid:80"},
        {"ftp://127.0.0.1/album.html", "Unsupported protocol: ftp"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Url);
        RunUrl(c.Url);
        EXPECT_EQ(Result().End, TRunEnd::Failed);
        EXPECT_EQ(Result().Error, c.Error);
        EXPECT_TRUE(Result().Failure != nullptr);
        EXPECT_TRUE(Log.empty());
    }
}

TEST_F(AlbumRun, AlbumAndPhotoFailuresNameTheirCause) {
    // An album id the XML service does not know.
    Log.clear();
    Run.RunSteps([this] { Run.DownloadAlbum("t", "nosuchalbum"); });
    EXPECT_EQ(Log, std::vector<std::string>{"获取相册信息失败: HTTP 404 Not Found"});

    // Photos: an answer that is no picture; a head and then nothing (a time-out, naming
    // the server); a 404.
    Run.Settings().RetryDelaysMs = {};
    Run.Settings().Jobs = 1;
    struct TCase { const char* Id; const char* Line; };
    const TCase cases[] = {
        {"htmlphoto", "下载失败: 1.jpg (not a picture)"},
        {"missing404", "下载失败: 2.jpg (HTTP 404 Not Found)"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Id);
        RunAlbum(c.Id);
        EXPECT_EQ(ErrorLog, std::vector<std::string>{c.Line});
    }
    Run.Settings().TimeoutMs = 300;
    RunAlbum("stall");
    ASSERT_EQ(ErrorLog.size(), 1u);
    EXPECT_EQ(ErrorLog[0], "下载失败: 1.jpg (receive timed out after 300 ms: " + Site.Address() + ")");
}

// ---- whose site the album is read on ----------------------------------------------------

TEST_F(AlbumRun, TheXmlIsAskedForOnTheSiteOfThePage) {
    // Another host: a second site on another port. The album site the user named is Site.
    TDemoSiteThread other;
    size_t mark = Mark();
    RunUrl(other.Url("/album/night40.html"));
    EXPECT_EQ(Result().End, TRunEnd::Completed);
    EXPECT_EQ(Result().SavedCount, 40);
    EXPECT_TRUE(Requests("GET ", mark).empty());  // nothing of the album from the named site
    std::vector<std::string> requests = other.Site().Requests();
    EXPECT_EQ(std::count_if(requests.begin(), requests.end(),
                            [](const std::string& r) { return r.rfind("GET /xml?night40 ", 0) == 0; }),
              1);
    // The report still goes to the maker's server.
    EXPECT_EQ(Reports().size(), 1u);

    // A page that names no site is read on the named one.
    RunUrl("/album/spring12.html");
    EXPECT_EQ(Result().End, TRunEnd::Completed);
    EXPECT_EQ(Requests("GET /xml?spring12", mark).size(), 1u);
    EXPECT_EQ(Reports().back()["source_url"], Site.Url("/album/spring12.html"));

    // ... and without a named site it is an address this program cannot use.
    Run.Settings().XmlUrlPrefix.clear();
    RunUrl("/album/spring12.html");
    EXPECT_EQ(Result().End, TRunEnd::Failed);
    EXPECT_EQ(Result().Error, "不支持的地址: /album/spring12.html (the address names no site)");
}

TEST_F(AlbumRun, TheUsageReportBodyExactly) {
    RunAlbum("spring12");
    std::vector<std::string> bodies = Site.Site().Reports();
    ASSERT_EQ(bodies.size(), 1u);
    const std::string port = std::to_string(Site.Site().Port());
    EXPECT_EQ(bodies[0], "source_url=http%3A%2F%2F127.0.0.1%3A" + port + "%2Falbum%2Fspring12.html" +
                             "&music=http%3A%2F%2F127.0.0.1%3A" + port + "%2Fmusic%2Fspring12.mp3" +
                             "&title=%E6%98%A5%E6%97%A5%E8%8A%B1%E5%9B%AD&version=KV1.0");
}

TEST_F(AlbumRun, TheAlbumIdIsEncodedInTheXmlAddress) {
    // The id as the page writes it; the request line must not carry a raw blank.
    size_t mark = Mark();
    Run.RunSteps([this] { Run.DownloadAlbum("t", "sp ace"); });
    EXPECT_EQ(Requests("GET /xml?", mark), std::vector<std::string>{"GET /xml?sp%20ace"});
}

}  // namespace
