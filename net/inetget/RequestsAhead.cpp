// RequestsAhead: a worker's requests sent ahead (see RequestsAhead.h).
#include "net/inetget/RequestsAhead.h"

#include "platform/httpwire/HttpWire.h"
#include "platform/rtl/SysUtils.h"

#include <algorithm>

DWORD ConnectionIdOf(HINTERNET request) {
    DWORD id = 0, len = sizeof id;
    if (!InternetQueryOptionA(request, INTERNET_OPTION_CONNECTION_ID, &id, &len)) return 0;
    return id;
}

void CloseInternetHandle(HINTERNET& h) {
    if (h) InternetCloseHandle(h);
    h = nullptr;
}

bool TRequestsAhead::HeadTakesRequestsBehind(const std::string& rawHead, int status) {
    std::string connection = httpwire::HeadFieldValue(rawHead, "Connection");
    bool http10 = StartsText("HTTP/1.0", rawHead);
    bool closes = httpwire::ListHasToken(connection, "close") ||
                  (http10 && !httpwire::ListHasToken(connection, "keep-alive"));
    // A body with neither length nor chunks ends at the close: the server closes after it.
    bool framed = !httpwire::HeadFieldValue(rawHead, "Content-Length").empty() ||
                  httpwire::ListHasToken(httpwire::HeadFieldValue(rawHead, "Transfer-Encoding"), "chunked");
    bool bodiless = status == 204 || status == 304 || (status >= 100 && status < 200);
    return !http10 && !closes && (framed || bodiless);
}

HINTERNET TRequestsAhead::Take(const std::string& url, const std::string& headers, HINTERNET& connect, DWORD& line) {
    if (FSent.empty()) return nullptr;
    TSent& first = FSent.front();
    if (first.Next.URL != url || first.Headers != headers) return nullptr;
    connect = first.Connect;
    line = first.Line;
    HINTERNET request = first.Request;
    FSent.pop_front();
    return request;
}

void TRequestsAhead::Drop(size_t from) {
    while (FSent.size() > from) {
        CloseInternetHandle(FSent.back().Request);
        CloseInternetHandle(FSent.back().Connect);
        FSent.pop_back();
    }
}

void TRequestsAhead::Fill(HINTERNET current, const THTTPGetRequest& base, const std::string& host,
                          const std::vector<THTTPGetNext>& wanted, const std::function<bool()>& stopped) {
    // Those riding on another connection than Current's lost their place in line.
    DWORD line = ConnectionIdOf(current);
    for (size_t i = 0; i < FSent.size(); ++i) {
        if (line == 0 || ConnectionIdOf(FSent[i].Request) != line) {
            Drop(i);
            break;
        }
    }
    const size_t limit = std::min(wanted.size(), size_t(std::max(0, base.AheadLimit)));
    for (size_t i = 0; i < limit; ++i) {
        if (i < FSent.size()) {
            if (FSent[i].Next == wanted[i]) continue;
            Drop(i);  // the owner changed its plans from here on
        }
        if (stopped() || !SendOne(wanted[i], base, host, FSent.empty() ? current : FSent.back().Request)) break;
    }
}

bool TRequestsAhead::SendOne(const THTTPGetNext& next, const THTTPGetRequest& base, const std::string& host,
                             HINTERNET behind) {
    THTTPGetRequest request = base;
    request.URL = next.URL;
    request.ResumeFrom = next.ResumeFrom;
    request.IfRange = next.IfRange;
    std::string nextHost, path;
    THTTPGetThread::SplitHostPath(next.URL, nextHost, path);
    // One line holds requests to one server; a foreign address is sent in its own turn.
    if (!SameText(nextHost, host) || THTTPGetThread::SecureUrl(next.URL) != THTTPGetThread::SecureUrl(base.URL) ||
        !THTTPGetThread::UnsupportedScheme(next.URL).empty())
        return false;
    TSent sent;
    sent.Next = next;
    sent.Request = FOpen(request, nextHost, sent.Headers, sent.Connect);
    if (sent.Request &&
        HttpSendRequestAheadA(sent.Request, behind, sent.Headers.c_str(), DWORD(sent.Headers.size()))) {
        sent.Line = ConnectionIdOf(sent.Request);
        FSent.push_back(sent);
        return true;
    }
    CloseInternetHandle(sent.Request);
    CloseInternetHandle(sent.Connect);
    return false;
}

bool TRequestsAhead::WaitedBehind(HINTERNET current) const {
    DWORD line = current ? ConnectionIdOf(current) : 0;
    if (line == 0) return false;
    for (const TSent& sent : FSent)
        if (sent.Line == line) return true;
    return false;
}
