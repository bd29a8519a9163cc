// commonDefine: version tag, addresses and the usage report switch (see commonDefine.h).
#include "app/commonDefine.h"

#include "platform/tls/Tls.h"

#include <cstdio>

#include "platform/httpwire/HttpWire.h"
#include "platform/rtl/SysUtils.h"

namespace {
std::string& Site() {
    static std::string site = DefaultSiteHost;
    return site;
}

bool& Given() {
    static bool given = false;
    return given;
}

std::string Http() { return "http://" + Site(); }

bool& UsageReportSwitch() {
    static bool on = true;
    return on;
}
}  // namespace

bool UsageReportEnabled() { return UsageReportSwitch(); }
void SetUsageReportEnabled(bool On) { UsageReportSwitch() = On; }

std::string UsageReportHelp() {
    return "After the photos of each album a usage report is posted to\n"
           "  " + ReportUrl() + "\n"
           "with the album page's address, the music's address, the album's title and the\n"
           "program's version tag. --no-report leaves it out.\n";
}

const std::string& SiteHost() { return Site(); }

namespace {
bool SplitSiteHost(const std::string& hostPort, std::string& host, uint16_t& port) {
    return hostPort.find(':') != std::string::npos && httpwire::SplitHostPort(hostPort, 0, host, port);
}
}  // namespace

bool IsSiteHost(const std::string& hostPort) {
    std::string host;
    uint16_t port = 0;
    return SplitSiteHost(hostPort, host, port);
}

bool SetSiteHost(const std::string& hostPort) {
    std::string host;
    uint16_t port = 0;
    if (!SplitSiteHost(hostPort, host, port)) return false;
    Site() = host + ":" + IntToStr(port);
    Given() = true;
    return true;
}

bool SiteHostGiven() { return Given(); }

void ResetSiteHost() {
    Site() = DefaultSiteHost;
    Given() = false;
}

std::string MakerInfoUrl() { return Http() + "/owlmere/skyfen/app_info.php?app=tavophotos"; }
std::string MakerHomeUrl() { return Http() + "/"; }
std::string LinkServerUrl() { return Http() + "/app/ruvoviveduzude/i.php?a=getlinks"; }
std::string AlbumXmlUrlPrefix() { return Given() ? Http() + "/xml?" : std::string(); }
std::string ReportUrl() { return Http() + "/owlmere/skyfen/log.php"; }
std::string SampleAlbumUrl() { return Http() + "/album/spring12.html"; }

// ==== certificates ============================================================================

const char* const SCaCertificateHelp = "also trust the certificate authorities in FILE\n(PEM) when checking https servers";
const char* const SNoCheckCertificateHelp = "do not check the certificates of https servers\n(unsafe; a warning says so on each run)";

std::string CertificateHelp() {
    return "https servers are checked as a browser checks them: a certificate from an\n"
           "authority of the system's trust store (SSL_CERT_FILE and SSL_CERT_DIR\n"
           "honoured, --ca-certificate adds more), made out for the server's name or\n"
           "address, within its dates, and TLS 1.2 at least. A server that fails the check\n"
           "gets no request; nothing falls back to http. Through a proxy (https_proxy,\n"
           "honouring no_proxy) https goes in a CONNECT tunnel.\n";
}

bool ApplyCertificateOptions(const std::string& CaFile, bool NoCheck, std::string& Error) {
    try {
        tls::SetVerifySettings({!NoCheck, CaFile});
    } catch (const tls::ETlsError& e) {
        Error = "--ca-certificate: " + e.Message();
        return false;
    }
    if (NoCheck) std::fprintf(stderr, "%s\n", tls::SNoCheckWarning);
    return true;
}
