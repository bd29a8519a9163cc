// Replays every case file of tests/net/http/cases against the scripted server: the client
// is set up from the case's [info] fields, runs one request, and the exact requests the
// server received, the status, the document and the error raised are compared with the
// case. Each case is one test, named after its file.
//
// [info] fields read here (all optional):
//   url            a path (the server's address is put before it) or a URL with %PORT%
//   method         GET (default), POST or HEAD;  post = the POST body
//   proxy = yes    the scripted server plays the proxy
//   sender reference agent accept cookie username password proxy-username
//   proxy-password range-begin range-end nocache=yes modified-since=Y-M-D h:m:s
//   timeout        the client's Timeout in ms
//   status error-code error requests docname location content-type content-length
//   www-authenticate done-kind          expected values after the request
// Sections: [request], [request2] ... the exact requests; [body] the expected document.
#include "net/http/HttpProt.h"
#include "tests/support/ScriptedServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

namespace {

std::vector<std::string> CaseFiles() {
    std::vector<std::string> files;
    std::string dir = std::string(ALBRIVO_SOURCE_DIR) + "/tests/net/http/cases";
    for (const auto& e : std::filesystem::directory_iterator(dir))
        if (e.path().extension() == ".case") files.push_back(e.path().stem().string());
    std::sort(files.begin(), files.end());
    return files;
}

class HttpCase : public testing::TestWithParam<std::string> {};

TEST_P(HttpCase, Replay) {
    const TCaseFile c =
        LoadCaseFile(std::string(ALBRIVO_SOURCE_DIR) + "/tests/net/http/cases/" + GetParam() + ".case");
    TScriptedServer server(c.Scripts, 3000);
    const std::string port = std::to_string(server.Port());
    auto has = [&](const char* name) { return c.Info.count(name) > 0; };
    auto field = [&](const char* name, const char* Default = "") { return c.Field(name, Default); };

    THttpCli cli(nullptr);
    std::string url = field("url");
    cli.SetURL(url.compare(0, 1, "/") == 0 ? "http://127.0.0.1:" + port + url : ExpandPort(url, server.Port()));
    if (field("proxy") == "yes") cli.SetProxy("127.0.0.1:" + port);
    if (has("sender")) cli.SetSender(field("sender"));
    if (has("reference")) cli.SetReference(field("reference"));
    if (has("agent")) cli.SetAgent(field("agent"));
    if (has("accept")) cli.SetAccept(field("accept"));
    if (has("cookie")) cli.SetCookie(field("cookie"));
    if (has("username")) cli.SetUsername(field("username"));
    if (has("password")) cli.SetPassword(field("password"));
    if (has("proxy-username")) cli.SetProxyUsername(field("proxy-username"));
    if (has("proxy-password")) cli.SetProxyPassword(field("proxy-password"));
    if (has("range-begin")) cli.SetContentRangeBegin(field("range-begin"));
    if (has("range-end")) cli.SetContentRangeEnd(field("range-end"));
    cli.SetNoCache(field("nocache") == "yes");
    if (has("modified-since")) {
        int y, mo, d, h, mi, s;
        ASSERT_EQ(std::sscanf(field("modified-since").c_str(), "%d-%d-%d %d:%d:%d", &y, &mo, &d, &h, &mi, &s), 6);
        cli.SetModifiedSince(EncodeDateTime(y, mo, d, h, mi, s));
    }
    cli.SetTimeout(has("timeout") ? DWORD(std::stoul(field("timeout"))) : 5000);

    TStringStream document, post(field("post"));
    cli.SetRcvdStream(&document);
    THttpRequest kind = httpGET;
    if (field("method") == "POST") {
        kind = httpPOST;
        cli.SetSendStream(&post);
    } else if (field("method") == "HEAD") {
        kind = httpHEAD;
    }
    int done = 0;
    THttpRequest doneKind = httpAbort;
    cli.OnRequestDone = [&](TObject*, THttpRequest k, uint16_t) {
        ++done;
        doneKind = k;
    };

    int errorCode = 0;
    std::string error;
    try {
        cli.RunRequest(kind);
    } catch (const EHttpException& e) {
        errorCode = e.ErrorCode();
        error = e.Message();
    }
    EXPECT_EQ(errorCode, std::stoi(field("error-code", "0")));
    if (has("error")) { EXPECT_EQ(error, field("error")); }
    if (has("status")) { EXPECT_EQ(cli.StatusCode(), std::stoi(field("status"))); }
    if (has("requests")) { EXPECT_EQ(server.ConnectionCount(), std::stoi(field("requests"))); }
    if (has("docname")) { EXPECT_EQ(cli.DocName(), field("docname")); }
    if (has("location")) { EXPECT_EQ(cli.Location(), field("location")); }
    if (has("content-type")) { EXPECT_EQ(cli.ContentType(), field("content-type")); }
    if (has("content-length")) { EXPECT_EQ(cli.ContentLength(), std::stoll(field("content-length"))); }
    if (has("www-authenticate")) {
        ASSERT_EQ(cli.WwwAuthenticate().Count(), 1);
        EXPECT_EQ(cli.WwwAuthenticate()[0], field("www-authenticate"));
    }
    if (c.Sections.count("body")) { EXPECT_EQ(document.DataString(), c.Section("body")); }
    for (int i = 0; i < server.ConnectionCount(); ++i) {
        std::string name = i == 0 ? "request" : "request" + std::to_string(i + 1);
        if (c.Sections.count(name)) { EXPECT_EQ(server.Received(i), c.Section(name)) << name; }
    }
    // OnRequestDone follows one message later, and only once.
    EXPECT_TRUE(WaitUntil([&] { return done > 0; }, 2000));
    WaitUntil([] { return false; }, 30);
    EXPECT_EQ(done, 1);
    if (has("done-kind")) { EXPECT_EQ(HttpRequestName(doneKind), field("done-kind")); }
    EXPECT_EQ(cli.State(), httpIdle);
}

INSTANTIATE_TEST_SUITE_P(Cases, HttpCase, testing::ValuesIn(CaseFiles()),
                         [](const testing::TestParamInfo<std::string>& info) {
                             std::string name = info.param;
                             for (char& ch : name)
                                 if (!isalnum((unsigned char)ch)) ch = '_';
                             return name;
                         });

}  // namespace
