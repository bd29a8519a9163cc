// The promotional links, headless: the splitting rule as a table, LoadLinks against a
// scripted link server (a full list, an invalid UTF-8 byte, an error page, no server),
// and the rotation and the click over five pairs, two pairs and none.
#include "app/commonDefine.h"
#include "app/mainUnit.h"
#include "platform/shell/ShellApi.h"
#include "tests/support/ScriptedServer.h"

#include <gtest/gtest.h>

namespace {

std::vector<std::string> Split(const std::string& text) {
    TStringList list;
    SplitLinkText(text, list);
    std::vector<std::string> out;
    for (int i = 0; i < list.Count(); i++) out.push_back(list[i]);
    return out;
}

using Pieces = std::vector<std::string>;

// Five pairs, captions A to E.
const char* const FivePairs =
    "A|http://a.example/|B|http://b.example/|C|http://c.example/|D|http://d.example/|E|https://e.example/";

}  // namespace

TEST(SplitLinkText, Table) {
    struct Case { const char* Text; Pieces Expected; } cases[] = {
        {"", {}},
        {"|", {}},
        {"a", {"a"}},
        {"a|b", {"a", "b"}},
        {"a||b", {"a", "b"}},                       // an empty piece adds nothing
        {"|a|b|", {"a", "b"}},
        {"a\r\nb\nc\rd", {"a", "b", "c", "d"}},     // line breaks separate like "|"
        {"\r\n\r\na|\r\nb\r\n", {"a", "b"}},
        {"a|\"x|y\"|b", {"a", "\"x|y\"", "b"}},     // quoted "|" stays, marks included
        {"'x|y'z|b", {"'x|y'z", "b"}},
        {"\"it's\"|b", {"\"it's\"", "b"}},          // the other mark does not close it
        {"pre\"x\ny\"post|b", {"pre\"x\ny\"post", "b"}},
        {"a|\"open|b", {"a", "\"open|b"}},          // unclosed: runs to the end
        {" a | b ", {" a ", " b "}},                // blanks are kept
    };
    for (const Case& c : cases) EXPECT_EQ(Split(c.Text), c.Expected) << "text: " << c.Text;
}

TEST(SplitLinkText, SeparatorsGiveTheSameListWhateverTheirForm) {
    Pieces expected = Split(FivePairs);
    ASSERT_EQ(expected.size(), 10u);
    std::string doubled, lines;
    for (char c : std::string(FivePairs)) {
        doubled += c == '|' ? std::string("||") : std::string(1, c);
        lines += c == '|' ? std::string("\r\n") : std::string(1, c);
    }
    EXPECT_EQ(Split(doubled), expected);
    EXPECT_EQ(Split(lines), expected);
}

// ---- the rotation on a main window -----------------------------------------------------

namespace {

std::string Reply(int status, const std::string& reason, const std::string& body) {
    return "HTTP/1.0 " + std::to_string(status) + " " + reason + "\r\nContent-Type: text/plain\r\n" +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

struct LinksTest : ::testing::Test {
    std::unique_ptr<TScriptedServer> server;
    std::unique_ptr<TApplication> app;

    // Starts the main window against a link server answering Reply (every connection,
    // the browser panel's included); an empty Reply: nothing listens.
    void Start(const std::string& reply) {
        std::string site = "127.0.0.1:9";
        if (!reply.empty()) {
            server = std::make_unique<TScriptedServer>(
                std::vector<TScript>{TScript().ReadRequest().Send(reply).Close()});
            site = "127.0.0.1:" + std::to_string(server->Port());
        }
        ASSERT_TRUE(SetSiteHost(site));
        InitializeMainUnit();
        app = std::make_unique<TApplication>();
        app->CreateForm(MainForm);
        SetShellRecording(true);
        ClearRecordedShellCalls();
    }
    void TearDown() override {
        app.reset();
        MainForm = nullptr;
        FinalizeMainUnit();
        SetSiteHost(DefaultSiteHost);
        ClearRecordedShellCalls();
        server.reset();
    }
    void Tick() { MainForm->tmr1Timer(MainForm->tmr1); }
    std::string Showing() const { return MainForm->statusLink->Caption(); }
    // The files of the shell calls so far, then forgets them.
    std::vector<std::string> Opened() {
        std::vector<std::string> files;
        for (const TShellCall& c : RecordedShellCalls()) files.push_back(c.File);
        ClearRecordedShellCalls();
        return files;
    }
};

}  // namespace

TEST_F(LinksTest, FivePairsRotateAndAClickOpensTheCaptionShowing) {
    Start(Reply(200, "OK", FivePairs));
    EXPECT_EQ(app->ExceptionCount(), 0);
    ASSERT_EQ(LinkList->Count(), 10);
    EXPECT_EQ(LinkPairCount(), 5);
    EXPECT_EQ(Showing(), "");
    MainForm->statusLinkClick(MainForm->statusLink);  // before the first tick: link 0
    EXPECT_EQ(Opened(), std::vector<std::string>{"http://a.example/"});
    std::vector<std::string> shown;
    for (int i = 0; i < 6; i++) {
        Tick();
        shown.push_back(Showing());
        if (Showing() == "D") {
            MainForm->statusLinkClick(MainForm->statusLink);
            EXPECT_EQ(Opened(), std::vector<std::string>{"http://d.example/"});
        }
    }
    EXPECT_EQ(shown, (std::vector<std::string>{"B", "C", "D", "E", "A", "B"}));
    EXPECT_EQ(Opened(), std::vector<std::string>{});
}

TEST_F(LinksTest, EntriesBeyondFivePairsAreIgnored) {
    Start(Reply(200, "OK", std::string(FivePairs) + "|F|http://f.example/|G"));
    EXPECT_EQ(LinkList->Count(), 13);
    EXPECT_EQ(LinkPairCount(), 5);
    std::vector<std::string> shown;
    for (int i = 0; i < 5; i++) Tick(), shown.push_back(Showing());
    EXPECT_EQ(shown, (std::vector<std::string>{"B", "C", "D", "E", "A"}));
}

TEST_F(LinksTest, TwoPairsRotateOverWhatIsThere) {
    Start(Reply(200, "OK", "甲|http://a.example/\r\n乙|https://b.example/\r\n丙"));
    EXPECT_EQ(LinkPairCount(), 2);  // the caption without an address makes no pair
    std::vector<std::string> shown;
    for (int i = 0; i < 4; i++) Tick(), shown.push_back(Showing());
    EXPECT_EQ(shown, (std::vector<std::string>{"乙", "甲", "乙", "甲"}));
    MainForm->statusLinkClick(MainForm->statusLink);
    EXPECT_EQ(Opened(), std::vector<std::string>{"http://a.example/"});
    EXPECT_EQ(app->ExceptionCount(), 0);
}

TEST_F(LinksTest, OnlyWebAddressesAreOpened) {
    Start(Reply(200, "OK", "Local|/etc/passwd|Mail|mailto:x@example.com|Web|HTTPS://w.example/|"
                           "Script|javascript:alert(1)|Plain|http://p.example/"));
    std::vector<std::string> opened;
    for (int i = 0; i < 5; i++) {
        MainForm->statusLinkClick(MainForm->statusLink);
        for (const std::string& f : Opened()) opened.push_back(Showing() + " " + f);
        Tick();
    }
    EXPECT_EQ(opened, (std::vector<std::string>{"Web HTTPS://w.example/", "Plain http://p.example/"}));
}

TEST_F(LinksTest, InvalidUtf8IsReplaced) {
    Start(Reply(200, "OK", "A\xFF|http://a.example/|\x80|http://b.example/"));
    ASSERT_EQ(LinkList->Count(), 4);
    EXPECT_EQ(LinkList->Strings(0), "A\xEF\xBF\xBD");
    EXPECT_EQ(LinkList->Strings(2), "\xEF\xBF\xBD");
}

TEST_F(LinksTest, ErrorPageIsShownOnceAndTheRotationStaysQuiet) {
    Start(Reply(404, "Not Found", "<html>Not Found</html>"));
    EXPECT_EQ(app->ExceptionCount(), 1);
    ASSERT_EQ(app->MessageLog().size(), 1u);
    EXPECT_LE(LinkPairCount(), 0);  // one piece at most: no pair
    for (int i = 0; i < 3; i++) Tick();
    MainForm->statusLinkClick(MainForm->statusLink);
    EXPECT_EQ(Showing(), "");
    EXPECT_EQ(LinkIndex, 0);
    EXPECT_TRUE(Opened().empty());
    EXPECT_EQ(app->ExceptionCount(), 1);
}

TEST_F(LinksTest, NoServerNoLinksNoErrorsAfterStartup) {
    Start("");
    EXPECT_EQ(app->ExceptionCount(), 1);  // the fetch's error, once
    EXPECT_EQ(LinkList->Count(), 0);
    EXPECT_TRUE(MainForm->tmr1->Enabled());
    for (int i = 0; i < 3; i++) Tick();
    MainForm->statusLinkClick(MainForm->statusLink);
    EXPECT_EQ(Showing(), "");
    EXPECT_EQ(LinkIndex, 0);
    EXPECT_TRUE(Opened().empty());
    EXPECT_EQ(app->ExceptionCount(), 1);
    EXPECT_EQ(MainForm->httpcli1->RcvdStream(), nullptr);  // no dangling stream
}

TEST_F(LinksTest, ATickAndAClickWhileTheStartUpFetchRunsDoNothing) {
    // The link server answers after a pause; a tick and a click arrive through the loop
    // while the fetch waits for it, as the timer and a user's click would.
    server = std::make_unique<TScriptedServer>(
        std::vector<TScript>{TScript().ReadRequest().Delay(300).Send(Reply(200, "OK", FivePairs)).Close()});
    ASSERT_TRUE(SetSiteHost("127.0.0.1:" + std::to_string(server->Port())));
    InitializeMainUnit();
    app = std::make_unique<TApplication>();
    SetShellRecording(true);
    ClearRecordedShellCalls();
    bool duringFetch = false;
    std::string shownDuring = "unset";
    HWND inside = AllocateHWnd([&](TMessage&) {
        duringFetch = MainForm && MainForm->httpcli1->State() != httpIdle && LinkList && LinkList->Count() == 0;
        MainForm->tmr1Timer(MainForm->tmr1);
        MainForm->statusLinkClick(MainForm->statusLink);
        shownDuring = MainForm->statusLink->Caption();
    });
    PostMessageA(inside, WM_USER, 0, 0);
    app->CreateForm(MainForm);
    DeallocateHWnd(inside);
    EXPECT_TRUE(duringFetch);
    EXPECT_EQ(shownDuring, "");
    EXPECT_TRUE(Opened().empty());
    EXPECT_EQ(LinkIndex, 0);
    EXPECT_EQ(app->ExceptionCount(), 0);
    // The list that arrived rotates from its start.
    ASSERT_EQ(LinkPairCount(), 5);
    Tick();
    EXPECT_EQ(Showing(), "B");
}
