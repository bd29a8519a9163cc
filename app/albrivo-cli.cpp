// albrivo-cli: the album run without a window.
//
//   albrivo-cli [--music] [--dir DIR] [--site HOST:PORT] PAGE_URL
//
// Starts the program's main window on the headless backend, exactly as the window
// program does, fills in the address field and the music check box, and presses the
// download button (btnDownloadClick), so the code path is the window's own. Every status
// text and log line is printed as it is shown. --dir replaces the program folder for the
// run (the album folder goes inside it); --site points every address at HOST:PORT.
//
// Ctrl-C presses the stop button: SIGINT and SIGTERM are blocked in every thread and
// taken by a watcher thread with sigwait, which posts a message to a hidden window of the
// interface thread; the press itself runs there, like a click would.
//
// Exit code: 0 when every photo was saved, 1 when some were not (failed or stopped), 2
// when the run could not be done (bad arguments, page not fetched or not recognised,
// album information not fetched); the reason goes to standard error.
#include "app/commonDefine.h"
#include "app/dao.h"
#include "app/mainUnit.h"
#include "platform/messages/Messages.h"
#include "platform/rtl/FileSys.h"

#include <atomic>
#include <csignal>
#include <memory>
#include <cstdio>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

namespace {

struct TCliOptions {
    bool Music = false;
    std::string Dir;
    std::string Site;
    std::string PageUrl;
};

constexpr const char* Usage = "usage: albrivo-cli [--music] [--dir DIR] [--site HOST:PORT] PAGE_URL\n";

// False with Error set for anything but the documented arguments and one address.
bool ParseCliArguments(const std::vector<std::string>& args, TCliOptions& o, std::string& error) {
    for (size_t i = 0; i < args.size(); i++) {
        const std::string& a = args[i];
        if (a == "--music") {
            o.Music = true;
        } else if (a == "--dir" || a == "--site") {
            if (i + 1 >= args.size()) {
                error = a + " needs a value";
                return false;
            }
            (a == "--dir" ? o.Dir : o.Site) = args[++i];
        } else if (!a.empty() && a[0] == '-') {
            error = "unknown argument: " + a;
            return false;
        } else if (o.PageUrl.empty()) {
            o.PageUrl = a;
        } else {
            error = "only one page address, please: " + a;
            return false;
        }
    }
    if (o.PageUrl.empty()) {
        error = "the album page address is missing";
        return false;
    }
    return true;
}

void PrintLine(FILE* f, const std::string& text) {
    std::fprintf(f, "%s\n", text.c_str());
    std::fflush(f);
}

// Turns SIGINT and SIGTERM into presses of the stop button on the interface thread.
class TStopWatcher {
public:
    // Blocks the signals in the calling thread, so every thread started later has them
    // blocked too; call it before any other thread exists.
    TStopWatcher() {
        sigemptyset(&FSignals);
        sigaddset(&FSignals, SIGINT);
        sigaddset(&FSignals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &FSignals, nullptr);
        FWindow = AllocateHWnd([](TMessage& m) {
            if (m.Msg != WM_STOPPRESSED || !MainForm) return;
            MainForm->btn2->Click();
            PrintLine(stdout, MainForm->status1->Caption());
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
    sigset_t FSignals;
    HWND FWindow = nullptr;
    std::atomic<bool> FEnding{false};
    std::thread FThread;
};

// Prints what the run shows. A status text equal to the line printed last is not printed
// again: the status pane ignores a repeated text, and most log lines are also shown there.
void AttachOutput(TMainForm& form) {
    auto last = std::make_shared<std::string>();
    form.OnRunStatus = [last](const std::string& text) {
        if (text == *last) return;
        *last = text;
        PrintLine(stdout, text);
    };
    form.OnRunLog = [last](const std::string& line) {
        *last = line;
        PrintLine(stdout, line);
    };
}

int ExitCode(const TMainForm::TAlbumRunResult& run, bool errorShown) {
    using E = TMainForm::TRunEnd;
    if (run.End == E::Failed || run.End == E::NotRun) {
        if (!errorShown) PrintLine(stderr, "albrivo-cli: " + (run.Error.empty() ? "the run did not start" : run.Error));
        return 2;
    }
    PrintLine(stdout, IntToStr(run.SavedCount) + "/" + IntToStr(run.PhotoCount) + " photos in " + AlbumDir);
    return run.End == E::Completed && run.FailedCount == 0 ? 0 : 1;
}

int RunAlbum(const TCliOptions& o) {
    TStopWatcher stop;
    InitializeMainUnit();
    InitializeDao();
    int code = 2;
    {
        TApplication app;
        app.Initialize();
        app.SetTitle(LoadStr(SMainWindowTitle));
        // Start-up errors (link server or information page unreachable) are printed, and
        // the run goes on, as the window goes on after its message box.
        app.OnException = [](TObject*, const std::string& message) { PrintLine(stderr, "albrivo-cli: " + message); };
        app.CreateForm(MainForm);
        if (!o.Dir.empty()) AppDir = IncludeTrailingPathDelimiter(o.Dir);
        AttachOutput(*MainForm);
        MainForm->edtUrl->SetText(o.PageUrl);
        MainForm->chkAutoDownMusic->SetChecked(o.Music);
        int errorsBefore = app.ExceptionCount();
        MainForm->btnDownloadClick(MainForm->btnDownload);
        code = ExitCode(MainForm->LastRun(), app.ExceptionCount() > errorsBefore);
    }
    MainForm = nullptr;
    FinalizeMainUnit();
    FinalizeDao();
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    TCliOptions options;
    std::string error;
    if (!ParseCliArguments(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        std::fprintf(stderr, "albrivo-cli: %s\n%s", error.c_str(), Usage);
        return 2;
    }
    if (!options.Site.empty() && !SetSiteHost(options.Site)) {
        std::fprintf(stderr, "albrivo-cli: --site: not HOST:PORT: %s\n", options.Site.c_str());
        return 2;
    }
    if (!options.Dir.empty() && !ForceDirectories(options.Dir)) {
        std::fprintf(stderr, "albrivo-cli: cannot create the folder %s\n", options.Dir.c_str());
        return 2;
    }
    return RunAlbum(options);
}
