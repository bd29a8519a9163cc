// GetterReply: Content-Range checks and failure texts (see
// GetterReply.h).
#include "net/inetget/GetterReply.h"

#include "platform/httpwire/HttpWire.h"
#include "platform/rtl/SysUtils.h"
#include "platform/wininet/WinInet.h"

namespace getterreply {

namespace {

// A non-negative decimal of at most 18 digits; false otherwise.
bool ParseCount(const std::string& text, int64_t& value) {
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::stoll(text);
    return true;
}

}  // namespace

bool ParseContentRange(const std::string& value, TContentRange& range) {
    std::string v = Trim(value);
    if (!StartsText("bytes ", v)) return false;
    v = Trim(v.substr(6));
    size_t dash = v.find('-'), slash = v.find('/');
    if (dash == std::string::npos || slash == std::string::npos || dash > slash) return false;
    std::string total = v.substr(slash + 1);
    if (!ParseCount(v.substr(0, dash), range.First) ||
        !ParseCount(v.substr(dash + 1, slash - dash - 1), range.Last))
        return false;
    if (total == "*") range.Total = -1;
    else if (!ParseCount(total, range.Total) || range.Total <= range.Last) return false;
    return range.Last >= range.First;
}

bool RangeContinues(const std::string& value, int64_t offset, int64_t length) {
    TContentRange r;
    if (!ParseContentRange(value, r) || r.First != offset) return false;
    if (r.Total >= 0 && r.Last + 1 != r.Total) return false;  // the file would stay short
    return length < 0 || length == r.Last - r.First + 1;
}

// ==== failure texts ======================================================================

std::string InternetErrorText(DWORD error, const std::string& wait, DWORD ms) {
    switch (error) {
    case ERROR_INTERNET_CANNOT_CONNECT: return "connection refused";
    case ERROR_INTERNET_NAME_NOT_RESOLVED: return "host not found";
    case ERROR_INTERNET_TIMEOUT: return wait + " timed out after " + IntToStr(int64_t(ms)) + " ms";
    case ERROR_INTERNET_OPERATION_CANCELLED: return "cancelled";
    case ERROR_INTERNET_CONNECTION_RESET: return "connection reset";
    case ERROR_INTERNET_CONNECTION_ABORTED: return "connection closed before the end of the answer";
    case ERROR_HTTP_INVALID_SERVER_RESPONSE: return "invalid server response";
    case ERROR_HTTP_REDIRECT_FAILED: return "redirect failed: too many, or not to http or https";
    case ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR: return "redirect from https to http refused";
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
    case ERROR_INTERNET_SEC_CERT_CN_INVALID:
    case ERROR_INTERNET_INVALID_CA: return "certificate not accepted";
    case ERROR_INTERNET_SECURITY_CHANNEL_ERROR: return "TLS handshake failed";
    case ERROR_HTTP_INVALID_HEADER: return "invalid request header";
    case ERROR_INTERNET_INVALID_URL: return "invalid address";
    case ERROR_INTERNET_UNRECOGNIZED_SCHEME: return "unsupported protocol";
    case ERROR_INVALID_PARAMETER: return "invalid request text";
    default: return "internet error " + IntToStr(int64_t(error));
    }
}

std::string StatusErrorText(int status, const std::string& reason) {
    std::string text = "HTTP " + IntToStr(status);
    std::string phrase = Trim(reason).substr(0, 100);
    for (char& c : phrase)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return phrase.empty() ? text : text + " " + phrase;
}

}  // namespace getterreply
