// albrivo-cli: the album run without a window.
//
//   albrivo-cli [--music] [--dir DIR] [--site HOST:PORT] [--jobs N] [--timeout SECONDS]
//               [--quiet] [--help] [--version] PAGE_URL
//
// Wires the options, the signals and the output to one TAlbumRun (album/albumRun.h), the
// same run the window's download button starts. Every status text and log line is
// printed as it is shown (cliOutput.h): on a terminal the status becomes one progress
// line redrawn in place, otherwise each text is a line; --quiet keeps only the errors and
// the summary line. Failures of the run (failed photos, the reason a run could not be
// done) go to standard error.
//
// Ctrl-C and SIGTERM stop the run: both are blocked in every thread and taken by a
// watcher thread with sigwait, which posts a message to a hidden window of the interface
// thread; the stop itself runs there, inside whatever wait or match the run is in, and
// cancels every transfer in flight (or the match). SIGXFSZ is ignored, so a file-size
// limit makes writes fail (and the photos with them) instead of killing the program.
//
// Exit code: 0 when every photo was saved, 1 when some were not (failed or stopped), 2
// when the run could not be done (bad arguments, page not fetched, not recognised or
// unreadable, album information not fetched or unreadable).
#include "album/albumRun.h"
#include "app/cliOptions.h"
#include "app/cliOutput.h"
#include "app/commonDefine.h"
#include "platform/messages/Messages.h"
#include "platform/rtl/FileSys.h"
#include "platform/rtl/SysUtils.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <memory>
#include <cstdio>
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

// Connects the run's events to the output. Plain: a status text equal to the line
// printed last is not printed again (most log lines are also shown as the status).
class TCliRun {
public:
    TCliRun(const TCliOptions& options, TCliOutput& out) : FOptions(options), FOut(out) {
        TAlbumRunSettings& s = FRun.Settings();
        s.BaseDir = options.Dir.empty()
                        ? AlbumBaseFolder(ExtractFilePath(ExecutableFileName()), CurrentFolder())
                        : IncludeTrailingPathDelimiter(options.Dir);
        s.XmlUrlPrefix = AlbumXmlUrlPrefix();
        s.ReportUrl = ReportUrl();
        s.Version = KVersion;
        s.Music = options.Music;
        s.Jobs = options.Jobs;
        s.TimeoutMs = DWORD(options.TimeoutSeconds) * 1000;
        FRun.OnStatus = [this](const std::string& text) { Status(text); };
        FRun.OnLog = [this](const std::string& line, TLogKind kind) { Log(line, kind); };
        FRun.OnAlbumOpened = [this](const std::string&, int) {
            FPhotoStage = true;
            FStageStart = GetTickCount64();
        };
        FRun.OnPhotoFinished = [this](int, const std::string&, bool) { DrawProgress(); };
    }

    // Runs the album; the exit code.
    int Run() {
        // Only a progress line needs redrawing between the run's own events.
        std::unique_ptr<TProgressTimer> timer;
        if (FOut.Terminal() && !FOptions.Quiet) timer = std::make_unique<TProgressTimer>([this] { DrawProgress(); }, 250);
        FRun.Run(FOptions.PageUrl);
        FOut.EndProgress();
        return ExitCode(FRun.Result());
    }

    // Ctrl-C or SIGTERM.
    void Stop() {
        if (!FOptions.Quiet) Status("正在停止...");
        FRun.Stop();
    }

private:
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
    int ExitCode(const TAlbumRunResult& run) {
        if (run.End == TRunEnd::Failed || run.End == TRunEnd::NotRun) {
            std::string failure = FailureLine(run);
            if (!failure.empty()) FOut.Line(failure, true);
            return 2;
        }
        if (run.End == TRunEnd::Stopped && run.PhotoCount == 0 && FRun.AlbumDir().empty()) {
            FOut.Line("albrivo-cli: stopped", true);
            return 1;
        }
        FOut.Line(SummaryLine(run, FRun.AlbumDir()));
        return run.End == TRunEnd::Completed && run.FailedCount == 0 ? 0 : 1;
    }

    const TCliOptions& FOptions;
    TCliOutput& FOut;
    TAlbumRun FRun;
    std::string FStatus;
    std::string FLastLine;
    bool FPhotoStage = false;
    uint64_t FStageStart = 0;
};

int RunAlbum(const TCliOptions& options) {
    TCliOutput out(stdout, stderr, isatty(STDOUT_FILENO) == 1, TerminalColumns());
    // The watcher is made before the run so that its thread is the first; the run's
    // threads inherit the blocked signals.
    TCliRun* running = nullptr;
    TStopWatcher stop([&running] {
        if (running) running->Stop();
    });
    TCliRun run(options, out);
    running = &run;
    int code = run.Run();
    running = nullptr;
    return code;
}

void ArgumentError(const std::string& reason) {
    std::fprintf(stderr, "albrivo-cli: %s\n%s", TerminalSafe(reason).c_str(), CliUsage());
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGXFSZ, SIG_IGN);
    TCliOptions options;
    std::string error;
    if (!ParseCliArguments(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        ArgumentError(error);
        return 2;
    }
    if (options.Help) {
        std::fputs(CliHelp().c_str(), stdout);
        return 0;
    }
    if (options.Version) {
        std::printf("%s\n", CliVersion().c_str());
        return 0;
    }
    if (!options.Site.empty()) SetSiteHost(options.Site);
    return RunAlbum(options);
}
