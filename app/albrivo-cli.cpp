// albrivo-cli: the album run without a window.
//
//   albrivo-cli [OPTION]... PAGE_URL...
//   albrivo-cli [OPTION]... -i FILE [PAGE_URL]...
//
// Wires the options, the signals and the output to one TAlbumRun (album/albumRun.h), the
// same run the window's download button starts. Several albums run one after another on
// the same TAlbumRun, each with its own summary line. Every status text and log line is
// printed as it is shown (cliOutput.h): on a terminal the status becomes one progress
// line redrawn in place, otherwise each text is a line; --quiet keeps only the errors and
// the summary lines. Failures of the run (failed photos, the reason a run could not be
// done) go to standard error.
//
// The album folders go into --dir, or the current folder. That folder is made (or found
// unwritable) before anything is fetched, and each album's folder is checked between its
// page and its album information, so a folder that cannot be made ends that album with
// exit code 2 before any photo is asked for.
//
// Ctrl-C and SIGTERM stop the run and the albums after it: both are blocked in every
// thread and taken by a watcher thread with sigwait, which posts a message to a hidden
// window of the interface thread; the stop itself runs there, inside whatever wait the
// run is in, and cancels every transfer in flight. SIGXFSZ is ignored, so a file-size
// limit makes writes fail (and the photos with them) instead of killing the program.
//
// Exit code, for each album: 0 when every photo (and the music asked for) was saved, 1
// when some were not (failed or stopped), 2 when the run could not be done (page not
// fetched or not recognised, album information not fetched, folder not made); the
// program's is the worst of its albums', 2 for bad arguments or an input file that cannot
// be read, and at least 1 when standard output could not be written.
#include "album/albumRun.h"
#include "app/cliOptions.h"
#include "app/cliOutput.h"
#include "app/commonDefine.h"
#include "platform/messages/Messages.h"
#include "platform/rtl/CommandLine.h"
#include "platform/rtl/FileSys.h"
#include "platform/rtl/SysUtils.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <pthread.h>
#include <string>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Turns SIGINT and SIGTERM into calls of OnStop on the interface thread.
class TStopWatcher {
public:
    // Blocks the signals in the calling thread, so every thread started later has them
    // blocked too; call it before any other thread exists.
    explicit TStopWatcher(std::function<void()> onStop) : FOnStop(std::move(onStop)) {
        sigemptyset(&FSignals);
        sigaddset(&FSignals, SIGINT);
        sigaddset(&FSignals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &FSignals, nullptr);
        FWindow = AllocateHWnd([this](TMessage& m) {
            if (m.Msg == WM_STOPPRESSED && FOnStop) FOnStop();
        });
        FThread = std::thread([this] { Watch(); });
    }
    ~TStopWatcher() {
        FEnding = true;
        pthread_kill(FThread.native_handle(), SIGTERM);  // wakes sigwait
        FThread.join();
        DeallocateHWnd(FWindow);
    }
    TStopWatcher(const TStopWatcher&) = delete;
    TStopWatcher& operator=(const TStopWatcher&) = delete;

private:
    static constexpr UINT WM_STOPPRESSED = WM_USER + 1;
    void Watch() {
        for (;;) {
            int sig = 0;
            if (sigwait(&FSignals, &sig) != 0 || FEnding) return;
            PostMessageA(FWindow, WM_STOPPRESSED, 0, 0);
        }
    }
    std::function<void()> FOnStop;
    sigset_t FSignals;
    HWND FWindow = nullptr;
    std::atomic<bool> FEnding{false};
    std::thread FThread;
};

// Redraws the progress line on a timer while the run goes, for the bytes and the rate.
class TProgressTimer {
public:
    TProgressTimer(std::function<void()> tick, UINT ms) : FTick(std::move(tick)) {
        FWindow = AllocateHWnd([this](TMessage& m) {
            if (m.Msg == WM_TIMER && FTick) FTick();
        });
        SetTimer(FWindow, 1, ms, nullptr);
    }
    ~TProgressTimer() {
        KillTimer(FWindow, 1);
        DeallocateHWnd(FWindow);
    }
    TProgressTimer(const TProgressTimer&) = delete;
    TProgressTimer& operator=(const TProgressTimer&) = delete;

private:
    std::function<void()> FTick;
    HWND FWindow = nullptr;
};

int TerminalColumns() {
    winsize ws{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 80;
}

std::string CurrentFolder() {
    char buffer[4096];
    if (!getcwd(buffer, sizeof buffer)) return "./";
    return IncludeTrailingPathDelimiter(buffer);
}

// Why Dir cannot take the album folders, after making it when it is missing; empty when
// it can.
std::string BaseFolderProblem(const std::string& Dir) {
    std::error_code error;
    std::filesystem::create_directories(Dir, error);
    if (!DirectoryExists(Dir)) return error ? error.message() : std::strerror(ENOTDIR);
    return FolderWritable(Dir) ? std::string() : std::strerror(EACCES);
}

// Why an album's folder (in a base folder that takes folders) cannot be made or written;
// empty when it can.
std::string AlbumFolderProblem(const std::string& Folder) {
    std::error_code error;
    std::filesystem::file_status status = std::filesystem::status(Folder, error);
    if (!std::filesystem::exists(status)) return std::string();
    if (!std::filesystem::is_directory(status)) return std::strerror(EEXIST);
    return FolderWritable(Folder) ? std::string() : std::strerror(EACCES);
}

// Connects the run's events to the output, for one album after another. Plain: a status
// text equal to the line printed last is not printed again (most log lines are also
// shown as the status).
class TCliRun {
public:
    TCliRun(const TCliOptions& options, TCliOutput& out, const std::string& baseDir)
        : FOptions(options), FOut(out) {
        TAlbumRunSettings& s = FRun.Settings();
        s.BaseDir = baseDir;
        s.XmlUrlPrefix = AlbumXmlUrlPrefix();
        s.ReportUrl = ReportUrl();
        s.Version = KVersion;
        s.Music = options.Music;
        s.Jobs = options.Jobs;
        s.TimeoutMs = DWORD(options.TimeoutSeconds) * 1000;
        s.UsageReport = options.Report;
        FRun.OnStatus = [this](const std::string& text) { Status(text); };
        FRun.OnLog = [this](const std::string& line, TLogKind kind) { Log(line, kind); };
        FRun.OnAlbumOpened = [this](const std::string&, int) {
            FPhotoStage = true;
            FStageStart = GetTickCount64();
        };
        FRun.OnPhotoFinished = [this](int, const std::string&, bool) { DrawProgress(); };
    }

    // Runs the album of PageUrl; its exit code. Named: the address goes in front of the
    // reason a run could not be done (with several albums).
    int Run(const std::string& PageUrl, bool Named) {
        FPhotoStage = false;
        FStatus.clear();
        // Only a progress line needs redrawing between the run's own events.
        std::unique_ptr<TProgressTimer> timer;
        if (FOut.Terminal() && !FOptions.Quiet) timer = std::make_unique<TProgressTimer>([this] { DrawProgress(); }, 250);
        FRun.RunSteps([this, &PageUrl] {
            TAlbumPage page = FRun.FetchAlbumPage(PageUrl);
            if (!page.Recognised) return;
            CheckAlbumFolder(page);
            FRun.DownloadAlbum(page.Title, page.AlbumId);
        });
        FOut.EndProgress();
        return ExitCode(FRun.Result(), Named ? TerminalSafe(PageUrl) + ": " : std::string());
    }

    // Ctrl-C or SIGTERM: the running album ends, and no other starts.
    void Stop() {
        FStopped = true;
        if (!FOptions.Quiet) Status("正在停止...");
        FRun.Stop();
    }
    bool Stopped() const { return FStopped; }

private:
    // A folder in the way of the album's ends the album before its information is asked
    // for (the run then ends as Failed with this text).
    void CheckAlbumFolder(const TAlbumPage& page) {
        const std::string folder = FRun.Settings().BaseDir + AlbumFolderName(page.Title, page.AlbumId);
        const std::string problem = AlbumFolderProblem(folder);
        if (!problem.empty()) throw Exception("cannot make the album folder " + folder + "/: " + problem);
    }
    void Status(const std::string& text) {
        FStatus = text;
        if (FOptions.Quiet) return;
        if (FOut.Terminal()) {
            DrawProgress();
        } else if (text != FLastLine) {
            FLastLine = text;
            FOut.Line(text);
        }
    }
    void Log(const std::string& line, TLogKind kind) {
        if (kind == TLogKind::Info && FOptions.Quiet) return;
        FLastLine = line;
        FOut.Line(line, kind == TLogKind::Error);
    }
    // The progress line: the photo stage's texts become "[i/n] bytes rate"; any other
    // status shows as it is, unless it was just printed as a log line.
    void DrawProgress() {
        if (FOptions.Quiet || !FOut.Terminal()) return;
        const TAlbumRunResult& r = FRun.Result();
        if (FPhotoStage && r.PhotoCount > 0 && StartsText("正在下载: [", FStatus) && !FRun.StopRequested()) {
            int photo = std::min(FRun.FinishedCount() + 1, r.PhotoCount);
            double seconds = double(GetTickCount64() - FStageStart) / 1000.0;
            FOut.SetProgress(ProgressLineText(photo, r.PhotoCount, FRun.PhotoBytes(), seconds));
        } else {
            FOut.SetProgress(FStatus == FLastLine ? std::string() : FStatus);
        }
    }
    int ExitCode(const TAlbumRunResult& run, const std::string& label) {
        if (run.End == TRunEnd::Failed || run.End == TRunEnd::NotRun) {
            std::string failure = FailureLine(run, label);
            if (!failure.empty()) FOut.Line(failure, true);
            return 2;
        }
        if (run.End == TRunEnd::Stopped && run.PhotoCount == 0 && FRun.AlbumDir().empty()) {
            FOut.Line("albrivo-cli: " + label + "stopped", true);
            return 1;
        }
        FOut.Line(SummaryLine(run, FRun.AlbumDir()));
        return run.End == TRunEnd::Completed && run.FailedCount == 0 && !run.MusicFailed ? 0 : 1;
    }

    const TCliOptions& FOptions;
    TCliOutput& FOut;
    TAlbumRun FRun;
    std::string FStatus;
    std::string FLastLine;
    bool FPhotoStage = false;
    uint64_t FStageStart = 0;
    bool FStopped = false;
};

// Runs the albums one after another on one TAlbumRun; the worst exit code of them.
int RunAlbums(const TCliOptions& options, const std::vector<std::string>& pageUrls, const std::string& baseDir) {
    TCliOutput out(stdout, stderr, isatty(STDOUT_FILENO) == 1, TerminalColumns());
    // The watcher is made before the run so that its thread is the first; the run's
    // threads inherit the blocked signals.
    TCliRun* running = nullptr;
    TStopWatcher stop([&running] {
        if (running) running->Stop();
    });
    TCliRun run(options, out, baseDir);
    running = &run;
    int worst = 0;
    for (const std::string& url : pageUrls) {
        if (run.Stopped()) break;
        worst = std::max(worst, run.Run(url, pageUrls.size() > 1));
    }
    running = nullptr;
    return worst;
}

void ArgumentError(const std::string& reason) {
    std::fprintf(stderr, "albrivo-cli: %s\n%s", TerminalSafe(reason).c_str(), CliUsage());
}

// Appends the addresses of input file Name ("-": standard input) to Urls; false with the
// reason when it cannot be read.
bool ReadAddressFile(const std::string& name, std::vector<std::string>& urls, std::string& reason) {
    std::ifstream file;
    if (name != "-") {
        file.open(name);
        if (!file.is_open()) {
            reason = std::strerror(errno);
            return false;
        }
    }
    std::istream& in = name == "-" ? std::cin : file;
    errno = 0;
    ReadAddressList(in, urls);
    if (!in.bad()) return true;
    reason = std::strerror(errno ? errno : EIO);
    return false;
}

// The addresses of the command line, then those of each input file; false (with the
// reason on standard error) when a file cannot be read.
bool CollectAddresses(const TCliOptions& options, std::vector<std::string>& urls) {
    urls = options.PageUrls;
    for (const std::string& name : options.InputFiles) {
        std::string reason;
        if (ReadAddressFile(name, urls, reason)) continue;
        std::fprintf(stderr, "albrivo-cli: cannot read %s: %s\n", TerminalSafe(name).c_str(), reason.c_str());
        return false;
    }
    return true;
}

// Everything but the closing of standard output; the exit code.
int Run(const std::vector<std::string>& args) {
    TCliOptions options;
    std::string error;
    if (!ParseCliArguments(args, options, error)) {
        ArgumentError(error);
        return 2;
    }
    if (options.Help || options.Version) {
        // A write that fails shows when standard output is closed (main).
        std::fputs((options.Help ? CliHelp() : CliVersion() + "\n").c_str(), stdout);
        return 0;
    }
    std::vector<std::string> urls;
    if (!CollectAddresses(options, urls)) return 2;
    if (urls.empty()) {
        ArgumentError(options.InputFiles.empty() ? "the album page address is missing"
                                                 : "no album page address in the input");
        return 2;
    }
    if (!ApplyCertificateOptions(options.CaCertificate, options.NoCheckCertificate, error)) {
        ArgumentError(error);
        return 2;
    }
    if (!options.Site.empty()) SetSiteHost(options.Site);
    const std::string baseDir = options.Dir.empty() ? CurrentFolder() : IncludeTrailingPathDelimiter(options.Dir);
    const std::string problem = BaseFolderProblem(baseDir);
    if (!problem.empty()) {
        std::fprintf(stderr, "albrivo-cli: cannot make the folder %s: %s\n", TerminalSafe(baseDir).c_str(),
                     problem.c_str());
        return 2;
    }
    return RunAlbums(options, urls, baseDir);
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGXFSZ, SIG_IGN);
    const int code = Run(std::vector<std::string>(argv + 1, argv + argc));
    return CloseStandardOutput("albrivo-cli", code);
}
