// RequestsAhead: a worker's requests sent ahead on its line (see RequestsAhead.h).
#include "net/inetget/RequestsAhead.h"

#include "platform/httpwire/HttpWire.h"
#include "platform/rtl/SysUtils.h"

#include <algorithm>

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

bool TRequestsAhead::Take(const std::string& url, const std::string& headers) {
    if (FSent.empty()) return false;
    const TSent& first = FSent.front();
    if (first.Next.URL != url || first.Headers != headers) return false;
    FSent.pop_front();
    return true;
}

void TRequestsAhead::Drop(size_t from) {
    if (FSent.size() <= from) return;
    FSent.resize(from);
    // The answers to the requests given up would still come on the connection, and those
    // before them cannot be told apart from them by anyone who does not count: the line
    // takes nothing more after the answer being read.
    FLine.Break();
}

void TRequestsAhead::Fill(const THTTPGetRequest& base, const std::string& host,
                          const std::vector<THTTPGetNext>& wanted, DWORD sendMs,
                          const std::function<bool()>& stopped) {
    // The line lost requests that we still count (it closed meanwhile): none is due there.
    if (FSent.size() != FLine.Waiting()) Drop();
    const size_t limit = std::min(wanted.size(), size_t(std::max(0, base.AheadLimit)));
    for (size_t i = 0; i < limit; ++i) {
        if (i < FSent.size()) {
            if (FSent[i].Next == wanted[i]) continue;
            Drop(i);  // the owner changed its plans from here on
        }
        if (stopped() || !SendOne(wanted[i], base, host, sendMs)) break;
    }
}

bool TRequestsAhead::SendOne(const THTTPGetNext& next, const THTTPGetRequest& base, const std::string& host,
                             DWORD sendMs) {
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
    std::string head;
    if (!FCompose(request, sent.Headers, head)) return false;
    // A send that failed breaks the line; those sent before stay counted, and their
    // transfers find out when they come to take their answers.
    if (!FLine.SendBehind(head, sendMs)) return false;
    FSent.push_back(sent);
    return true;
}
