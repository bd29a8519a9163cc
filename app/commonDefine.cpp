// commonDefine: version tag and addresses (see commonDefine.h).
#include "app/commonDefine.h"

#include "platform/rtl/SysUtils.h"

namespace {
std::string& Site() {
    static std::string site = DefaultSiteHost;
    return site;
}

std::string Http() { return "http://" + Site(); }
}  // namespace

const std::string& SiteHost() { return Site(); }

bool SetSiteHost(const std::string& hostPort) {
    size_t colon = hostPort.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == hostPort.size()) return false;
    std::string host = hostPort.substr(0, colon), port = hostPort.substr(colon + 1);
    for (char c : host)
        if (c <= ' ' || c == '/' || c == '?' || c == '#' || c == '@' || c == ':' || c == 127) return false;
    for (char c : port)
        if (c < '0' || c > '9') return false;
    int64_t p = StrToIntDef(port, 0);
    if (p < 1 || p > 65535) return false;
    Site() = host + ":" + IntToStr(p);
    return true;
}

std::string MakerInfoUrl() { return Http() + "/owlmere/skyfen/app_info.php?app=tavophotos"; }
std::string MakerHomeUrl() { return Http() + "/"; }
std::string LinkServerUrl() { return Http() + "/app/ruvoviveduzude/i.php?a=getlinks"; }
std::string AlbumXmlUrlPrefix() { return Http() + "/xml?"; }
std::string ReportUrl() { return Http() + "/owlmere/skyfen/log.php"; }
std::string SampleAlbumUrl() { return Http() + "/album/spring12.html"; }
