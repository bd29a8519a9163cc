// commonDefine: the program's version tag, its fixed addresses and the usage report switch.
//
// Every address of the program lies on one site, "HOST:PORT", which is the demo album
// site on this machine (127.0.0.1:18690) unless SetSiteHost changes it at start
// (`albrivo --site HOST:PORT`). The addresses are built from the current site each time,
// so a change reaches every later use; change it before the main window is created.
#pragma once

#include <string>

// The version tag sent in the usage report.
constexpr const char* KVersion = "KV1.0";

// The site every address below lies on.
constexpr const char* DefaultSiteHost = "127.0.0.1:18690";
const std::string& SiteHost();
// True for a site SetSiteHost takes: "HOST:PORT" with a port of 1 to 65535 and the host
// a name or dotted address without blanks or "/".
bool IsSiteHost(const std::string& hostPort);
// Sets the site from "HOST:PORT" (see IsSiteHost). False, with nothing changed, for
// anything else.
bool SetSiteHost(const std::string& hostPort);
// True once SetSiteHost took a site: the user named one (--site).
bool SiteHostGiven();
// Back to the default site, as if none had been named.
void ResetSiteHost();

// The maker's information page shown in the browser panel.
std::string MakerInfoUrl();
// The maker's web address shown in the welcome text.
std::string MakerHomeUrl();
// The link server's list of promotional links.
std::string LinkServerUrl();
// The album XML service of the site the user named, up to and including "xml?" (the album
// id is appended); empty when no site was named. An album page that names its own site
// has its XML asked for on that site; this one serves pages that name none.
std::string AlbumXmlUrlPrefix();
// The usage report endpoint (POST).
std::string ReportUrl();
// Whether album runs post the usage report: yes, unless turned off at start
// (`--no-report`).
bool UsageReportEnabled();
void SetUsageReportEnabled(bool On);
// The paragraph of --help that says what the usage report sends and where.
std::string UsageReportHelp();

// The help of --ca-certificate FILE and --no-check-certificate, and the paragraph of
// --help on how https servers are checked; both programs take them.
extern const char* const SCaCertificateHelp;
extern const char* const SNoCheckCertificateHelp;
std::string CertificateHelp();
// Applies --ca-certificate (CaFile not empty: also trust the authorities in it) and
// --no-check-certificate to every TLS connection made afterwards, and writes the warning
// line to standard error while checking is off. False with Error set ("--ca-certificate:
// Cannot read CA certificates from FILE: reason") when the file cannot be read.
bool ApplyCertificateOptions(const std::string& CaFile, bool NoCheck, std::string& Error);
// The sample album page the address field starts with.
std::string SampleAlbumUrl();
