// TestCertificates: the openssl steps that make the test authority and certificates (see
// TestCertificates.h). EC keys keep each step to a few milliseconds.
#include "tests/support/TestCertificates.h"

#include "platform/rtl/SysUtils.h"
#include "tests/support/ChildProcess.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

namespace {

const std::vector<std::string> NewEcKey = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

TTestCertificates::TTestCertificates() {
    const char* tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/albrivo-certs-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data())) throw Exception("Cannot make test certificates: scratch folder");
    FDir = buf.data();
    try {
        Run("authority", Join({"openssl", "req", "-x509"}, Join(NewEcKey, {"-keyout", FDir + "/ca.key", "-out", Ca(),
                             "-days", "30", "-subj", "/CN=Albrivo Test CA"})));
        Run("untrusted authority", Join({"openssl", "req", "-x509"}, Join(NewEcKey, {"-keyout", FDir + "/rogue.key",
                                       "-out", FDir + "/rogue.pem", "-days", "30", "-subj", "/CN=Albrivo Rogue CA"})));
        Run("request", Join({"openssl", "req"}, Join(NewEcKey, {"-keyout", Key(), "-out", FDir + "/server.csr",
                           "-subj", "/CN=localhost"})));
        Issue("valid", "DNS:localhost,IP:127.0.0.1", "ca", 30);
        Issue("expired", "DNS:localhost,IP:127.0.0.1", "ca", -1);
        Issue("wronghost", "DNS:other.invalid", "ca", 30);
        Issue("address", "IP:127.0.0.1", "ca", 30);
        Issue("chain", "DNS:localhost,IP:127.0.0.1", "rogue", 30);
        Run("self-signed", {"openssl", "req", "-x509", "-key", Key(), "-out", SelfSigned(), "-days", "30", "-subj",
                            "/CN=localhost", "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"});
        // The untrusted chain is sent whole: the leaf, then its authority.
        std::ofstream chain(UntrustedChain(), std::ios::app);
        chain << std::ifstream(FDir + "/rogue.pem").rdbuf();
    } catch (...) {
        std::error_code ec;
        std::filesystem::remove_all(FDir, ec);
        throw;
    }
}

TTestCertificates::~TTestCertificates() {
    std::error_code ec;
    std::filesystem::remove_all(FDir, ec);
}

const TTestCertificates& TTestCertificates::Shared() {
    static TTestCertificates shared;
    return shared;
}

void TTestCertificates::Run(const std::string& step, const std::vector<std::string>& argv) const {
    TChildProcess openssl(argv);
    if (openssl.Wait(20000) != 0) throw Exception("Cannot make test certificates: " + step);
}

// A certificate of the shared key for Names (a subjectAltName value), signed by the
// authority Ca ("ca" or "rogue"), valid for Days from now (negative: already expired).
void TTestCertificates::Issue(const std::string& name, const std::string& names, const std::string& ca,
                              int days) const {
    const std::string ext = FDir + "/" + name + ".ext";
    std::ofstream(ext) << "subjectAltName=" << names << "\nbasicConstraints=CA:FALSE\n";
    Run(name, {"openssl", "x509", "-req", "-in", FDir + "/server.csr", "-CA", FDir + "/" + ca + ".pem", "-CAkey",
               FDir + "/" + ca + ".key", "-CAcreateserial", "-out", FDir + "/" + name + ".pem", "-days",
               std::to_string(days), "-extfile", ext});
}
