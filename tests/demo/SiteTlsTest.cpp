// The demo site serving https (--tls-cert, --tls-key) on each transport, fetched with the
// HTTP client, which verifies it against the test authority (certificates made at test
// time): its own addresses in https, photos whole, a photo cut on purpose still a cut,
// and the options that refuse to start.
#include "demo/DemoSite.h"
#include "demo/SiteMedia.h"
#include "net/http/HttpProt.h"
#include "tests/support/TestCertificates.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const TTestCertificates& Certs() { return TTestCertificates::Shared(); }

class SiteTls : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { tls::SetVerifySettings({true, Certs().Ca()}); }
    void TearDown() override { tls::SetVerifySettings({}); }
    static TSiteOptions Options() {
        TSiteOptions o = TDemoSiteThread::Loopback();
        o.UsePollTransport = GetParam();
        o.TlsCert = Certs().Valid();
        o.TlsKey = Certs().Key();
        return o;
    }
};

INSTANTIATE_TEST_SUITE_P(Transports, SiteTls, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "Poll" : "WSocket"; });

// Get of Url; the document, and the code of what Get raised (0 for none).
std::pair<std::string, int> Fetch(const std::string& url) {
    THttpCli cli(nullptr);
    TStringStream doc;
    cli.SetRcvdStream(&doc);
    cli.SetURL(url);
    try {
        cli.Get();
    } catch (const EHttpException& e) {
        return {doc.DataString(), e.ErrorCode()};
    }
    return {doc.DataString(), 0};
}

TEST_P(SiteTls, ServesItsAlbumOverHttps) {
    TDemoSiteThread site(Options());
    const std::string origin = "https://" + site.Address();
    EXPECT_EQ(site.Url("/"), origin + "/");

    auto [xml, xmlError] = Fetch(origin + "/xml?spring12");
    EXPECT_EQ(xmlError, 0);
    EXPECT_NE(xml.find("<image path=\"" + origin + "/photos/spring12/11.jpg\""), std::string::npos);
    auto [page, pageError] = Fetch(origin + "/album/spring12.html");
    EXPECT_EQ(pageError, 0);
    EXPECT_NE(page.find(origin + "/code_without_top.html?id=spring12&"), std::string::npos);
    EXPECT_EQ(page.find("http://"), std::string::npos);

    for (int i : {0, 3, 11}) {
        auto [photo, error] = Fetch(origin + "/photos/spring12/" + std::to_string(i) + ".jpg");
        EXPECT_EQ(error, 0);
        EXPECT_TRUE(photo == *DemoPhotoJpeg("spring12", i)) << i;
    }
    // The photo the site cuts on purpose stays a cut over TLS.
    auto [cut, cutError] = Fetch(origin + "/photos/cutoff/3.jpg");
    EXPECT_EQ(cutError, httperrIncomplete);
    EXPECT_LT(cut.size(), DemoPhotoJpeg("cutoff", 3)->size());
}

TEST_P(SiteTls, PlainClientGetsNoPage) {
    TDemoSiteThread site(Options());
    // The site takes the request for a broken handshake and closes (with an alert or
    // without a word): either way no page.
    auto [page, error] = Fetch("http://" + site.Address() + "/album/spring12.html");
    EXPECT_EQ(page.find("<html"), std::string::npos);
    EXPECT_TRUE(error == 0 || error == httperrIncomplete || error == httperrBadStatusLine) << error;
}

TEST(SiteTlsOptions, CertificateAndKeyGoTogetherAndMustLoad) {
    TSiteOptions o = TDemoSiteThread::Loopback();
    o.TlsCert = Certs().Valid();
    try {
        TDemoSite site(o);
        FAIL() << "no exception";
    } catch (const ESiteError& e) {
        EXPECT_EQ(e.Message(), "A TLS certificate needs its key, and a key its certificate");
    }
    o.TlsKey = Certs().Dir() + "/none.key";
    try {
        TDemoSite site(o);
        FAIL() << "no exception";
    } catch (const tls::ETlsError& e) {
        EXPECT_EQ(e.Message(), "Cannot load TLS key " + o.TlsKey + ": No such file or directory");
    }
}

}  // namespace
