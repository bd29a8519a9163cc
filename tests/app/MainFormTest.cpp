// The main window and the start-up sequence, headless: every control's name, class,
// parent, geometry and initial state; the stop button; the status line; the addresses
// and the command line.
#include "app/commonDefine.h"
#include "app/mainUnit.h"
#include "app/preview.h"
#include "app/program.h"
#include "platform/rtl/FileSys.h"
#include "ui/forms/Backend.h"

#include <gtest/gtest.h>

#include <typeinfo>

namespace {

// A site where nothing listens, so the browser panel fails at once.
constexpr const char* DeadSite = "127.0.0.1:9";

struct MainFormTest : ::testing::Test {
    std::unique_ptr<TApplication> app;
    void SetUp() override {
        ASSERT_TRUE(SetSiteHost(DeadSite));
        InitializeMainUnit();
        app = std::make_unique<TApplication>();
        app->CreateForm(MainForm);
    }
    void TearDown() override {
        app.reset();
        MainForm = nullptr;
        FinalizeMainUnit();
        SetSiteHost(DefaultSiteHost);
    }
};

template <class T>
bool Is(TComponent* c) {
    return dynamic_cast<T*>(c) != nullptr;
}

}  // namespace

TEST_F(MainFormTest, WindowFrame) {
    EXPECT_EQ(MainForm->Width(), 770);
    EXPECT_EQ(MainForm->Height(), 578);
    EXPECT_EQ(MainForm->Position(), poScreenCenter);
    EXPECT_FALSE(MainForm->CanMaximize());
    EXPECT_FALSE(MainForm->Resizable());
    EXPECT_EQ(MainForm->BorderIcons(), TBorderIcons(biSystemMenu | biMinimize));
    EXPECT_EQ(MainForm->Font().Name(), "Tahoma");
    EXPECT_EQ(MainForm->Font().Height(), -11);
    EXPECT_EQ(MainForm->Color(), clBtnFace);
    EXPECT_EQ(MainForm->Caption(), LoadStr(SMainWindowTitle));
    EXPECT_EQ(app->MainForm(), MainForm);
}

TEST_F(MainFormTest, ControlsAtTheirPlaces) {
    struct Row {
        const char* Name;
        bool (*Class)(TComponent*);
        const char* Parent;
        int L, T, W, H;
        const char* Caption;  // null: not checked
    } rows[] = {
        {"pnl1", Is<TPanel>, "MainForm", 8, 8, 737, 37, nullptr},
        {"lbl1", Is<TLabel>, "pnl1", 8, 12, 150, 13, "请输入相册视频所在页面：  "},
        {"edtUrl", Is<TEdit>, "pnl1", 160, 7, 449, 21, nullptr},
        {"btnDownload", Is<TButton>, "pnl1", 624, 6, 97, 25, "下载相册"},
        {"mmStatus", Is<TMemo>, "MainForm", 8, 56, 177, 185, nullptr},
        {"cbbPhotos", Is<TComboBox>, "MainForm", 48, 224, 145, 21, nullptr},
        {"chkAutoDownMusic", Is<TCheckBox>, "MainForm", 8, 256, 169, 17, "自动下载相册背景音乐   "},
        {"wb1", Is<TWebBrowser>, "MainForm", 8, 280, 177, 185, nullptr},
        {"btn2", Is<TButton>, "MainForm", 16, 480, 161, 25, "停 止 下 载"},
        {"Panel1", Is<TPanel>, "MainForm", 192, 48, 553, 457, nullptr},
        {"status", Is<TStatusBar>, "MainForm", 0, 544 - 19, 762, 19, nullptr},
        {"status1", Is<TStatusPane>, "status", 0, 0, 346, 19, ""},
        {"statusLink", Is<TStatusPane>, "status", 346, 0, 392, 19, ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.Name);
        auto* c = dynamic_cast<TControl*>(MainForm->FindComponent(r.Name));
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->Name(), r.Name);
        EXPECT_TRUE(r.Class(c));
        ASSERT_NE(c->Parent(), nullptr);
        EXPECT_EQ(c->Parent()->Name(), r.Parent);
        EXPECT_EQ(c->Left(), r.L);
        EXPECT_EQ(c->Top(), r.T);
        EXPECT_EQ(c->Width(), r.W);
        EXPECT_EQ(c->Height(), r.H);
        if (r.Caption) {
            EXPECT_EQ(c->Caption(), r.Caption);
        }
    }
}

TEST_F(MainFormTest, InitialStates) {
    EXPECT_EQ(MainForm->edtUrl->Text(), SampleAlbumUrl());
    const std::vector<std::string> welcome = {"欢迎使用Grevolk软件", "-- TavoAlbrivo", "", "官方网站：",
                                              MakerHomeUrl()};
    EXPECT_EQ(MainForm->mmStatus->Lines().Items(), welcome);
    EXPECT_FALSE(MainForm->mmStatus->Ctl3D());
    EXPECT_EQ(MainForm->mmStatus->Color(), clBtnFace);
    EXPECT_FALSE(MainForm->cbbPhotos->Visible());
    EXPECT_EQ(MainForm->cbbPhotos->Items().Count(), 0);
    EXPECT_FALSE(MainForm->chkAutoDownMusic->Checked());
    EXPECT_TRUE(MainForm->btnDownload->Enabled());
    EXPECT_TRUE(MainForm->btn2->Enabled());
    const TFont& link = MainForm->statusLink->Font();
    EXPECT_EQ(link.Name(), "Tahoma");
    EXPECT_EQ(link.Height(), -11);
    EXPECT_EQ(link.Style(), TFontStyles(fsUnderline));
    EXPECT_EQ(link.Color(), clMenuHighlight);
    EXPECT_EQ(MainForm->tmr1->Interval(), 5000u);
    EXPECT_TRUE(MainForm->tmr1->Enabled());
    EXPECT_TRUE(MainForm->tmr1->Running());
}

TEST_F(MainFormTest, ThumbnailGrid) {
    for (int t = 1; t <= ThumbnailCount; t++) {
        SCOPED_TRACE(t);
        // The album run finds them by a lower-case name.
        auto* image = dynamic_cast<TImage*>(MainForm->FindComponent("image" + IntToStr(t)));
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image, MainForm->Images[size_t(t - 1)]);
        EXPECT_EQ(image->Name(), "Image" + IntToStr(t));
        EXPECT_EQ(image->Tag(), t);
        EXPECT_EQ(image->Parent(), MainForm->Panel1);
        int r = (t - 1) / 6, c = (t - 1) % 6;
        EXPECT_EQ(image->Left(), 16 + 88 * c);
        EXPECT_EQ(image->Top(), 16 + 88 * r);
        EXPECT_EQ(image->Width(), 75);
        EXPECT_EQ(image->Height(), 75);
        EXPECT_TRUE(image->Stretch());
        EXPECT_EQ(image->PopupMenu(), nullptr);  // attached only when a run fills it
        EXPECT_TRUE(bool(image->OnClick));
    }
}

TEST_F(MainFormTest, PopupMenuItems) {
    ASSERT_EQ(MainForm->popup1->Count(), 3);
    EXPECT_EQ(MainForm->popup1->Items(0), MainForm->N1);
    EXPECT_EQ(MainForm->N1->Caption(), "预览");
    EXPECT_TRUE(MainForm->N2->IsLine());
    EXPECT_EQ(MainForm->N3->Caption(), "打开图片所在目录");
    EXPECT_EQ(MainForm->FindComponent("n3"), MainForm->N3);
}

TEST_F(MainFormTest, HttpClientSettings) {
    THttpCli* cli = MainForm->httpcli1;
    ASSERT_EQ(MainForm->FindComponent("httpcli1"), cli);
    EXPECT_EQ(cli->LocalAddr(), "0.0.0.0");
    EXPECT_EQ(cli->ProxyPort(), "80");
    EXPECT_EQ(cli->Agent(), "Mozilla/3.0 (compatible)");
    EXPECT_EQ(cli->Accept(), "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*");
    EXPECT_FALSE(cli->NoCache());
    EXPECT_EQ(cli->ContentTypePost(), "application/x-www-form-urlencoded");
    EXPECT_FALSE(cli->MultiThreaded());
}

TEST_F(MainFormTest, FormCreateSetsTheSharedState) {
    EXPECT_EQ(AppVersion, "KV1.0");
    ASSERT_FALSE(AppDir.empty());
    EXPECT_EQ(AppDir.back(), '/');
    EXPECT_EQ(AppDir, ExtractFilePath(ExecutableFileName()));
    ASSERT_NE(LinkList, nullptr);
    EXPECT_EQ(LinkList->Count(), 0);
    EXPECT_EQ(LinkIndex, 0);
    EXPECT_FALSE(MainForm->AlbumRun().StopRequested());
    EXPECT_EQ(MainForm->wb1->LocationURL(), MakerInfoUrl());
}

TEST_F(MainFormTest, StopButtonShowsStoppingAndSetsTheFlag) {
    DeliverClick(*MainForm->btn2);  // as the user's click
    EXPECT_EQ(MainForm->status1->Caption(), "正在停止...");
    EXPECT_TRUE(MainForm->AlbumRun().StopRequested());
    MainForm->btn2Click(MainForm->btn2);  // again: the flag stays set
    EXPECT_TRUE(MainForm->AlbumRun().StopRequested());
}

TEST_F(MainFormTest, SetStatusTextWithAnEqualCaptionChangesNothing) {
    SetStatusText("相册图片下载完毕");
    int repaints = MainForm->status1->RepaintRequests();
    SetStatusText("相册图片下载完毕");
    EXPECT_EQ(MainForm->status1->RepaintRequests(), repaints);
    SetStatusText("处理完毕");
    EXPECT_EQ(MainForm->status1->Caption(), "处理完毕");
    EXPECT_EQ(MainForm->status1->RepaintRequests(), repaints + 1);
}

TEST_F(MainFormTest, BrowserFailureLeavesTheRestAlone) {
    EXPECT_TRUE(WaitUntil([] { return MainForm->wb1->CompletedCount() == 1; }, 15000));
    EXPECT_FALSE(MainForm->wb1->PageShown());
    // The only message is the link server's refusal, shown once during start-up.
    ASSERT_EQ(app->MessageLog().size(), 1u);
    EXPECT_NE(app->MessageLog()[0].find("10061"), std::string::npos) << app->MessageLog()[0];
}

// ---- the start-up sequence ----------------------------------------------------------------

TEST(StartupTest, StepsInOrder) {
    TProgramOptions o;
    o.Site = DeadSite;
    o.Headless = true;
    o.SmokeMs = 0;  // close the main window as soon as the loop runs
    std::vector<std::string> steps;
    o.Trace = [&](const std::string& step) {
        steps.push_back(step);
        if (step == "modules") {
            EXPECT_EQ(AppVersion, "KV1.0");
            EXPECT_EQ(MainForm, nullptr);
        } else if (step == "main form") {
            ASSERT_NE(MainForm, nullptr);
            EXPECT_EQ(MainForm->Caption(), LoadStr(SMainWindowTitle));  // FormCreate ran
            EXPECT_NE(LinkList, nullptr);
            EXPECT_EQ(PreviewForm, nullptr);
        } else if (step == "preview form") {
            ASSERT_NE(PreviewForm, nullptr);
            EXPECT_FALSE(PreviewForm->Visible());
            EXPECT_EQ(Application->MainForm(), MainForm);
            EXPECT_EQ(PreviewForm->Caption(), "预览图片");
        } else if (step == "windows destroyed") {
            EXPECT_EQ(LinkList, nullptr);  // FormDestroy freed it
        }
    };
    EXPECT_EQ(RunProgram(o), 0);
    const std::vector<std::string> expected = {"modules",   "application",       "main form", "preview form",
                                               "loop ended", "windows destroyed", "finalised"};
    EXPECT_EQ(steps, expected);
    SetSiteHost(DefaultSiteHost);
}

TEST(StartupTest, SiteHostAndAddresses) {
    struct Case {
        const char* Text;
        bool Ok;
    } cases[] = {{"127.0.0.1:18690", true}, {"localhost:8080", true}, {"example:1", true},
                 {"127.0.0.1", false},      {":80", false},           {"host:", false},
                 {"host:0", false},         {"host:65536", false},    {"ho st:80", false},
                 {"host/x:80", false},      {"host:8a", false},       {"a:b:80", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text);
        SetSiteHost(DefaultSiteHost);
        EXPECT_EQ(SetSiteHost(c.Text), c.Ok);
        EXPECT_EQ(SiteHost(), c.Ok ? std::string(c.Text) : std::string(DefaultSiteHost));
    }
    ASSERT_TRUE(SetSiteHost("10.0.0.2:81"));
    EXPECT_EQ(MakerInfoUrl(), "http://10.0.0.2:81/owlmere/skyfen/app_info.php?app=tavophotos");
    EXPECT_EQ(LinkServerUrl(), "http://10.0.0.2:81/app/ruvoviveduzude/i.php?a=getlinks");
    EXPECT_EQ(AlbumXmlUrlPrefix(), "http://10.0.0.2:81/xml?");
    EXPECT_EQ(ReportUrl(), "http://10.0.0.2:81/owlmere/skyfen/log.php");
    SetSiteHost(DefaultSiteHost);
    EXPECT_EQ(SampleAlbumUrl(), "http://127.0.0.1:18690/album/spring12.html");
    // Without a site named, album pages are read on their own site: no album site.
    ResetSiteHost();
    EXPECT_FALSE(SiteHostGiven());
    EXPECT_EQ(AlbumXmlUrlPrefix(), "");
    EXPECT_EQ(ReportUrl(), "http://127.0.0.1:18690/owlmere/skyfen/log.php");
    ASSERT_TRUE(SetSiteHost("10.0.0.2:81"));
    EXPECT_TRUE(SiteHostGiven());
    ResetSiteHost();
}

TEST(StartupTest, CommandLine) {
    struct Case {
        std::vector<std::string> Args;
        bool Ok;
        std::string Site;
        int Smoke;
        bool Headless;
    } cases[] = {
        {{}, true, "", -1, false},
        {{"--site", "127.0.0.1:5000"}, true, "127.0.0.1:5000", -1, false},
        {{"--smoke"}, true, "", 2000, false},
        {{"--smoke", "300", "--headless"}, true, "", 300, true},
        {{"--site"}, false, "", -1, false},
        {{"--site", "nonsense"}, false, "", -1, false},
        {{"--smoke", "x1"}, false, "", -1, false},
        {{"album-url"}, false, "", -1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Args.empty() ? "(none)" : c.Args[0]);
        TProgramOptions o;
        std::string error;
        EXPECT_EQ(ParseArguments(c.Args, o, error), c.Ok) << error;
        EXPECT_EQ(SiteHost(), DefaultSiteHost);  // parsing applies nothing
        if (!c.Ok) {
            EXPECT_FALSE(error.empty());
            continue;
        }
        EXPECT_EQ(o.Site, c.Site);
        EXPECT_EQ(o.SmokeMs, c.Smoke);
        EXPECT_EQ(o.Headless, c.Headless);
    }
}
