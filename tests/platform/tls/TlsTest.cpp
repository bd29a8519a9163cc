// TlsTest: the settings and contexts of platform/tls and their failure texts. Connections
// over TLS are tested where they are made: tests/net/socket (WSocketTlsTest) and
// tests/net/http (HttpsTest).
#include "platform/tls/Tls.h"
#include "tests/support/TestCertificates.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

const TTestCertificates& Certs() { return TTestCertificates::Shared(); }

std::string Failure(const std::function<void()>& run) {
    try {
        run();
    } catch (const tls::ETlsError& e) {
        return e.Message();
    }
    return "";
}

TEST(TlsSettings, DefaultVerifiesAndAFileOfCasIsRefusedWhereItIsSet) {
    EXPECT_TRUE(tls::VerifySettings().Verify);
    EXPECT_EQ(tls::VerifySettings().CaFile, "");

    tls::SetVerifySettings({true, Certs().Ca()});
    const std::string missing = Certs().Dir() + "/none.pem";
    EXPECT_EQ(Failure([&] { tls::SetVerifySettings({true, missing}); }),
              "Cannot read CA certificates from " + missing + ": No such file or directory");
    EXPECT_EQ(Failure([&] { tls::SetVerifySettings({true, Certs().Key()}); }),
              "Cannot read CA certificates from " + Certs().Key() + ": no certificate or crl found");
    EXPECT_EQ(tls::VerifySettings().CaFile, Certs().Ca());  // unchanged by the refusals

    // Checking off reads no file at all.
    tls::SetVerifySettings({false, missing});
    EXPECT_EQ(SSL_CTX_get_verify_mode(tls::ClientContext().get()), SSL_VERIFY_NONE);
    tls::SetVerifySettings({});
    EXPECT_EQ(SSL_CTX_get_verify_mode(tls::ClientContext().get()), SSL_VERIFY_PEER);
    EXPECT_EQ(SSL_CTX_get_min_proto_version(tls::ClientContext().get()), TLS1_2_VERSION);
    EXPECT_NE(std::string(tls::SNoCheckWarning).find("--no-check-certificate"), std::string::npos);
}

TEST(TlsSettings, ContextIsSharedUntilTheSettingsChange) {
    tls::SetVerifySettings({});
    tls::TSslCtxPtr first = tls::ClientContext();
    EXPECT_EQ(tls::ClientContext(), first);
    tls::SetVerifySettings({true, Certs().Ca()});
    EXPECT_NE(tls::ClientContext(), first);
    tls::SetVerifySettings({});
}

TEST(TlsServer, CertificateAndKeyFailures) {
    const std::string missing = Certs().Dir() + "/none.pem";
    EXPECT_NE(tls::ServerContext(Certs().Valid(), Certs().Key()), nullptr);
    EXPECT_EQ(Failure([&] { tls::ServerContext(missing, Certs().Key()); }),
              "Cannot load TLS certificate " + missing + ": No such file or directory");
    EXPECT_EQ(Failure([&] { tls::ServerContext(Certs().Valid(), missing); }),
              "Cannot load TLS key " + missing + ": No such file or directory");
}

TEST(TlsErrors, EmptyQueueHasNoText) { EXPECT_EQ(tls::TakeErrorText(), ""); }

}  // namespace
