// Album runs over https (the window's path: TAlbumRun) against the demo site serving TLS
// with a certificate made at test time: the page, the XML, the photos, the music and the
// report over TLS, saved byte for byte as the plain site serves them; a certificate not
// accepted fails the run naming the host and the reason, with nothing saved; the stop
// button during the TLS bodies.
#include "platform/tls/Tls.h"
#include "tests/album/RunFixture.h"
#include "tests/support/TestCertificates.h"

namespace {

const TTestCertificates& Certs() { return TTestCertificates::Shared(); }

TSiteOptions SecureSite(const std::string& cert) {
    TSiteOptions o = TDemoSiteThread::Loopback();
    o.TlsCert = cert;
    o.TlsKey = Certs().Key();
    return o;
}

class HttpsAlbum : public TRunFixture {
protected:
    mutable TDemoSiteThread Secure{SecureSite(Certs().Valid())};

    void SetUp() override {
        TRunFixture::SetUp();
        tls::SetVerifySettings({true, Certs().Ca()});
        Run.Settings().XmlUrlPrefix = Secure.Url("/xml?");
        Run.Settings().ReportUrl = Secure.Url("/owlmere/skyfen/log.php");
    }
    void TearDown() override {
        tls::SetVerifySettings({});
        TRunFixture::TearDown();
    }
    size_t SecureRequests(const std::string& prefix) const {
        size_t n = 0;
        for (const std::string& r : Secure.Site().Requests()) n += r.rfind(prefix, 0) == 0;
        return n;
    }
};

}  // namespace

TEST_F(HttpsAlbum, AnAlbumOverHttpsIsSavedAsThePlainSiteServesIt) {
    ASSERT_EQ(Secure.Url("/").rfind("https://", 0), 0u);
    RunUrl(Secure.Url("/album/spring12.html"), true);
    EXPECT_EQ(Run.Result().End, TRunEnd::Completed) << Run.Result().Error;
    EXPECT_TRUE(ErrorLog.empty());
    const std::string secureFolder = Run.AlbumDir();
    EXPECT_EQ(FileCount(secureFolder, 12), 12);
    EXPECT_TRUE(NoPartFiles(secureFolder, 12));
    EXPECT_TRUE(FileExists(secureFolder + "background.mp3"));
    EXPECT_EQ(SecureRequests("GET /photos/"), 12u);
    EXPECT_EQ(SecureRequests("POST /owlmere/skyfen/log.php"), 1u);
    EXPECT_TRUE(Requests("GET ").empty());  // nothing went to the plain site

    // The same album from the plain site, into another folder: the same bytes.
    Run.Settings().BaseDir = BaseDir + "plain/";
    ASSERT_TRUE(ForceDirectories(Run.Settings().BaseDir));
    Run.Settings().XmlUrlPrefix = Site.Url("/xml?");
    RunAlbum("spring12", true);
    ASSERT_EQ(Run.Result().End, TRunEnd::Completed);
    for (int i = 0; i < 12; i++) {
        std::string name = std::to_string(i) + ".jpg";
        EXPECT_EQ(runfixture::ReadFile(secureFolder + name), runfixture::ReadFile(Run.AlbumDir() + name)) << name;
    }
    EXPECT_EQ(runfixture::ReadFile(secureFolder + "background.mp3"), runfixture::ReadFile(Run.AlbumDir() + "background.mp3"));
}

TEST_F(HttpsAlbum, ACertificateNotAcceptedFailsTheRunAndSavesNothing) {
    TDemoSiteThread expired{SecureSite(Certs().Expired())};
    Run.Settings().XmlUrlPrefix = expired.Url("/xml?");
    RunUrl(expired.Url("/album/spring12.html"));
    EXPECT_EQ(Run.Result().End, TRunEnd::Failed);
    EXPECT_EQ(Run.Result().Error.rfind("Certificate of 127.0.0.1 not accepted: certificate has expired", 0), 0u)
        << Run.Result().Error;
    EXPECT_TRUE(expired.Site().Requests().empty());
    EXPECT_FALSE(DirectoryExists(BaseDir + "春日花园/"));
}

TEST_F(HttpsAlbum, StopDuringTheTlsBodiesLeavesNoPart) {
    OnStatus = [this](const std::string& t) {
        if (t == "正在下载: [1/3] - 0.jpg") PostStop();
    };
    RunUrl(Secure.Url("/album/slow.html"));
    EXPECT_EQ(Run.Result().End, TRunEnd::Stopped);
    EXPECT_LT(GetTickCount() - StoppedAt, 3000u);
    EXPECT_TRUE(NoPartFiles(Run.AlbumDir(), 3));
    EXPECT_TRUE(ErrorLog.empty());
}
