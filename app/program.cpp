// program: the start-up sequence (see program.h).
#include "app/program.h"

#include "app/commonDefine.h"
#include "app/dao.h"
#include "app/mainUnit.h"
#include "app/preview.h"
#include "platform/rtl/SysUtils.h"

namespace {

void Step(const TProgramOptions& o, const char* name) {
    if (o.Trace) o.Trace(name);
}

// The smoke option: closes the main window once it has been shown for a while, through
// the same Close a click on its close box runs.
void ArmSmokeClose(TApplication& app, int ms) {
    auto* timer = new TTimer(&app);  // owned by the application
    timer->SetInterval(UINT(ms > 0 ? ms : 1));
    timer->OnTimer = [timer](TObject*) {
        timer->SetEnabled(false);
        if (MainForm) MainForm->Close();
    };
}

}  // namespace

const char* ProgramUsage() {
    return "usage: albrivo [--site HOST:PORT] [--headless] [--smoke MS] [--help] [--version]\n";
}

std::string ProgramHelp() {
    return std::string(ProgramUsage()) +
           "Downloads every photo of an online photo album into a folder, in a window.\n"
           "\n"
           "  --site HOST:PORT  send every request (album pages, album information, links,\n"
           "                    usage reports) to HOST:PORT instead of 127.0.0.1:18690,\n"
           "                    where the demo site tavo-site listens by default\n"
           "  --headless        run without a window system: the main window exists unseen,\n"
           "                    and the program runs until it is ended (or --smoke)\n"
           "  --smoke MS        close the main window MS milliseconds after it is shown\n"
           "                    (0 to 600000; 2000 when MS is left out)\n"
           "  --help            print this help and exit\n"
           "  --version         print the version and exit\n";
}

std::string ProgramVersion() { return std::string("albrivo ") + ALBRIVO_VERSION; }

bool ParseArguments(const std::vector<std::string>& args, TProgramOptions& options, std::string& error) {
    for (size_t i = 0; i < args.size(); i++) {
        const std::string& a = args[i];
        if (a == "--help" || a == "--version") {
            (a == "--help" ? options.Help : options.Version) = true;
            return true;
        } else if (a == "--site") {
            if (i + 1 >= args.size()) {
                error = "--site needs HOST:PORT";
                return false;
            }
            options.Site = args[++i];
        } else if (a == "--headless") {
            options.Headless = true;
        } else if (a == "--smoke") {
            options.SmokeMs = 2000;
            if (i + 1 < args.size() && !args[i + 1].empty() && args[i + 1][0] != '-') {
                int64_t ms = StrToIntDef(args[i + 1], -1);
                if (ms < 0 || ms > 600000) {
                    error = "--smoke takes milliseconds (0 to 600000)";
                    return false;
                }
                options.SmokeMs = int(ms);
                i++;
            }
        } else {
            error = "unknown argument: " + a;
            return false;
        }
    }
    // The site is only checked here; RunProgram applies it.
    if (!options.Site.empty() && !IsSiteHost(options.Site)) {
        error = "--site: not HOST:PORT: " + options.Site;
        return false;
    }
    return true;
}

int RunProgram(const TProgramOptions& options) {
    if (!options.Site.empty()) SetSiteHost(options.Site);
    // 1. The modules initialise.
    InitializeMainUnit();
    InitializeDao();
    Step(options, "modules");
    {
        // 2. The application object.
        TApplication app;
        app.Initialize();
        app.SetTitle(LoadStr(SMainWindowTitle));
        Step(options, "application");
        // 3. The main window; FormCreate runs inside.
        app.CreateForm(MainForm);
        Step(options, "main form");
        // 4. The preview window, hidden.
        app.CreateForm(PreviewForm);
        Step(options, "preview form");
        if (options.SmokeMs >= 0) ArmSmokeClose(app, options.SmokeMs);
        // 5. The loop, until the main window closes.
        app.Run();
        Step(options, "loop ended");
    }  // the windows go here: FormDestroy runs first
    MainForm = nullptr;
    PreviewForm = nullptr;
    Step(options, "windows destroyed");
    FinalizeMainUnit();
    FinalizeDao();
    Step(options, "finalised");
    return 0;
}
