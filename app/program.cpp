// program: the start-up sequence (see program.h).
#include "app/program.h"

#include "app/commonDefine.h"
#include "app/dao.h"
#include "app/mainUnit.h"
#include "app/preview.h"
#include "platform/rtl/CommandLine.h"
#include "platform/rtl/SysUtils.h"

#include <cstdio>

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

namespace {

enum class TProgramOption { Site, Headless, Smoke, NoReport, CaCertificate, NoCheckCertificate, Help, Version };

// Every option, in the order of the help. An option is added with a row here and a case
// in ReadOption.
const std::vector<TOptionSpec>& OptionTable() {
    static const std::vector<TOptionSpec> table = {
        {int(TProgramOption::Site), 0, "site", "HOST:PORT",
         "send every request (album pages, album information,\n"
         "links, usage reports) to HOST:PORT instead of\n" + std::string(DefaultSiteHost) +
             " (where tavo-site listens by default)"},
        {int(TProgramOption::Headless), 0, "headless", nullptr,
         "run without a window system: the main window exists\n"
         "unseen, and the program runs until it is ended (or\n"
         "--smoke)"},
        {int(TProgramOption::Smoke), 0, "smoke", "[MS]",
         "close the main window MS milliseconds after it is shown\n"
         "(0 to 600000; 2000 when MS is left out)"},
        {int(TProgramOption::NoReport), 0, "no-report", nullptr, "send no usage report (see below)"},
        {int(TProgramOption::CaCertificate), 0, "ca-certificate", "FILE", SCaCertificateHelp},
        {int(TProgramOption::NoCheckCertificate), 0, "no-check-certificate", nullptr, SNoCheckCertificateHelp},
        {int(TProgramOption::Help), 'h', "help", nullptr, "print this help and exit"},
        {int(TProgramOption::Version), 'V', "version", nullptr, "print the version and exit"},
    };
    return table;
}

bool ReadOption(TProgramOptions& o, const TOptionSpec& option, const std::string& value, std::string& error) {
    switch (TProgramOption(option.Id)) {
    case TProgramOption::Site:
        // The site is only checked here; RunProgram applies it.
        if (!IsSiteHost(value)) error = "--site: not HOST:PORT: " + value;
        o.Site = value;
        break;
    case TProgramOption::Headless: o.Headless = true; break;
    case TProgramOption::Smoke: {
        int64_t ms = value.empty() ? 2000 : StrToIntDef(value, -1);
        if (ms < 0 || ms > 600000) error = "--smoke takes milliseconds (0 to 600000)";
        o.SmokeMs = int(ms);
        break;
    }
    case TProgramOption::NoReport: o.Report = false; break;
    case TProgramOption::CaCertificate: o.CaCertificate = value; break;
    case TProgramOption::NoCheckCertificate: o.NoCheckCertificate = true; break;
    case TProgramOption::Help: o.Help = true; return false;
    case TProgramOption::Version: o.Version = true; return false;
    }
    return true;
}

}  // namespace

const char* ProgramUsage() {
    return "usage: albrivo [--site HOST:PORT] [--headless] [--smoke MS] [--no-report]\n"
           "               [--ca-certificate FILE] [--no-check-certificate]\n"
           "               [--help] [--version]\n";
}

std::string ProgramHelp() {
    return std::string(ProgramUsage()) +
           "Downloads every photo of an online photo album into a folder, in a window.\n"
           "The album folders go beside the program when its folder is writable, else\n"
           "into $HOME/Albrivo/.\n"
           "\n" +
           OptionsHelp(OptionTable()) + "\n" + CertificateHelp() + "\n" + UsageReportHelp();
}

std::string ProgramVersion() { return std::string("albrivo ") + ALBRIVO_VERSION; }

bool ParseArguments(const std::vector<std::string>& args, TProgramOptions& options, std::string& error) {
    std::vector<std::string> operands;
    auto onOption = [&options](const TOptionSpec& option, const std::string& value, std::string& e) {
        return ReadOption(options, option, value, e);
    };
    if (!ReadOptions(args, OptionTable(), onOption, operands, error)) return false;
    if (!operands.empty() && !options.Help && !options.Version) {
        error = "unknown argument: " + operands.front();
        return false;
    }
    return true;
}

int RunProgram(const TProgramOptions& options) {
    std::string error;
    if (!ApplyCertificateOptions(options.CaCertificate, options.NoCheckCertificate, error)) {
        std::fprintf(stderr, "albrivo: %s\n", error.c_str());
        return 2;
    }
    if (!options.Site.empty()) SetSiteHost(options.Site);
    SetUsageReportEnabled(options.Report);
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
