// WinInet: the internet library's calls on session, connection and request handles (see
// WinInet.h): opening and closing handles, sending a request (with its redirects) and
// reading its body. Queries and options are in WinInetQuery.cpp; the handles and their
// table in InetHandles, a request's exchange on a connection in InetExchange (by the wire
// rules of InetRequestHead), the wire in InetWire, the pool in InetPool.
#include "platform/wininet/WinInet.h"

#include "platform/wininet/InetExchange.h"
#include "platform/wininet/InetTls.h"
#include "platform/rtl/SysUtils.h"

#include <memory>
#include <mutex>
#include <sys/eventfd.h>
#include <vector>

using namespace inetwire;

namespace {

const char* OrEmpty(LPCSTR s) { return s ? s : ""; }

}  // namespace

DWORD GetLastError() { return tLastError; }
void SetLastError(DWORD error) { tLastError = error; }

BOOL InternetGetLastResponseInfoA(LPDWORD error, char* buffer, LPDWORD bufferLength) {
    if (!bufferLength || (!buffer && *bufferLength)) return Fail(ERROR_INVALID_PARAMETER);
    const std::string& text = LastFailureText();
    if (error) *error = tLastError;
    if (*bufferLength <= text.size()) {
        *bufferLength = DWORD(text.size() + 1);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    text.copy(buffer, text.size());
    buffer[text.size()] = '\0';
    *bufferLength = DWORD(text.size());
    return TRUE;
}

// ==== session and connection =========================================================================

HINTERNET InternetOpenA(LPCSTR agent, DWORD accessType, LPCSTR proxy, LPCSTR proxyBypass, DWORD) {
    auto h = std::make_shared<TSessionHandle>();
    h->Agent = OrEmpty(agent);
    if (!IsCleanText(h->Agent)) return FailHandle(ERROR_INVALID_PARAMETER);
    switch (accessType) {
    case INTERNET_OPEN_TYPE_PRECONFIG:
        h->Proxy = EnvironmentProxy();
        h->SecureProxy = EnvironmentProxy(true);
        break;
    case INTERNET_OPEN_TYPE_DIRECT: break;
    case INTERNET_OPEN_TYPE_PROXY:
        if (!proxy || !ParseProxy(proxy, h->Proxy)) return FailHandle(ERROR_INVALID_PARAMETER);
        h->Proxy.Bypass = OrEmpty(proxyBypass);
        h->SecureProxy = h->Proxy;  // the one proxy serves both, https through its tunnels
        break;
    default: return FailHandle(ERROR_INVALID_PARAMETER);
    }
    h->Pool = std::make_shared<TInetPool>(DefaultPoolLimits());
    return Insert(h, nullptr);
}

HINTERNET InternetConnectA(HINTERNET session, LPCSTR serverName, INTERNET_PORT serverPort,
                           LPCSTR userName, LPCSTR password, DWORD service, DWORD, DWORD_PTR) {
    auto s = Lookup<TSessionHandle>(session);
    if (!s) return nullptr;
    if (service != INTERNET_SERVICE_HTTP) return FailHandle(ERROR_INVALID_PARAMETER);
    auto h = std::make_shared<TConnectHandle>();
    // No port in the name and none given: each request's scheme says it.
    if (!httpwire::SplitHostPort(OrEmpty(serverName), serverPort, h->Host, h->Port))
        return FailHandle(ERROR_INTERNET_INVALID_URL);
    h->UserName = OrEmpty(userName);
    h->Password = OrEmpty(password);
    if (!IsCleanText(h->UserName) || !IsCleanText(h->Password))
        return FailHandle(ERROR_INVALID_PARAMETER);
    return Insert(h, s);
}

HINTERNET HttpOpenRequestA(HINTERNET connect, LPCSTR verb, LPCSTR objectName, LPCSTR version,
                           LPCSTR referrer, LPCSTR* acceptTypes, DWORD flags, DWORD_PTR) {
    auto c = Lookup<TConnectHandle>(connect);
    if (!c) return nullptr;
    auto h = std::make_shared<TRequestHandle>();
    h->Secure = (flags & INTERNET_FLAG_SECURE) != 0;
    h->Port = c->Port ? c->Port : h->Secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;
    h->Verb = verb && *verb ? verb : "GET";
    h->Version = version && *version ? version : "HTTP/1.1";
    h->Referer = OrEmpty(referrer);
    h->Flags = flags;
    std::string object = OrEmpty(objectName);
    if (!IsCleanText(object, false)) return FailHandle(ERROR_INTERNET_INVALID_URL);
    h->Object = EncodeObject(object);
    for (LPCSTR* a = acceptTypes; a && *a; ++a) {
        if (!h->Accept.empty()) h->Accept += ", ";
        h->Accept += *a;
    }
    bool tokens = h->Verb.find_first_of(" ") == std::string::npos &&
                  h->Version.find_first_of(" ") == std::string::npos;
    if (!tokens || !IsCleanText(h->Verb, false) || !IsCleanText(h->Version, false) ||
        !IsCleanText(h->Referer) || !IsCleanText(h->Accept))
        return FailHandle(ERROR_INVALID_PARAMETER);
    h->AbortFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (h->AbortFd < 0) return FailHandle(ERROR_INTERNET_INTERNAL_ERROR);
    return Insert(h, c);
}

BOOL InternetCloseHandle(HINTERNET handle) {
    if (!CloseHandleTree(handle)) return Fail(ERROR_INVALID_HANDLE);
    tLastError = ERROR_SUCCESS;
    return TRUE;
}

// ==== sending ==========================================================================================

BOOL HttpSendRequestA(HINTERNET request, LPCSTR headers, DWORD headersLength, LPVOID optional,
                      DWORD optionalLength) {
    auto req = Lookup<TRequestHandle>(request);
    if (!req) return FALSE;
    std::lock_guard<std::mutex> g(req->Lock);
    TConnectHandle& conn = req->Connection();
    TSessionHandle& session = conn.Session();

    std::vector<std::string> extra;
    if (!SplitExtraHeaders(HeaderText(headers, headersLength), extra)) return Fail(ERROR_HTTP_INVALID_HEADER);
    std::string body;
    if (optional) body.assign(static_cast<const char*>(optional), optionalLength);
    DropConnection(*req);
    LastFailureText().clear();
    req->HaveResponse = false;
    req->ExpiredTimeout = 0;
    TConnectionAsk ask = AskForConnection(*req, extra);
    req->Persistent = ask.Persistent;
    TTimeouts limits = TimeoutsNow(*req);
    TTarget t = FirstTarget(*req);
    for (int redirects = 0;; ++redirects) {
        TProxy proxy = ProxyFor(session, t.Host, t.Secure);
        bool proxied = !proxy.Host.empty();
        req->RequestHead = ComposeHead(*req, conn, session, t, proxied, ask, extra, body.size());
        DWORD r = Exchange(*req, limits, t, proxied, proxy, req->RequestHead, body);
        if (r != ERROR_SUCCESS) {
            DropConnection(*req);
            return Fail(r);
        }
        std::string location;
        bool follow = !(req->Flags & INTERNET_FLAG_NO_AUTO_REDIRECT) &&
                      IsRedirect(req->Response.Status) && req->Response.Find("Location", 0, location);
        if (!follow) break;
        std::string scheme;
        if (redirects >= 10 || !ResolveLocation(location, t.Secure, t.Host, t.Port, t.Object, scheme)) {
            DropConnection(*req);
            // Never from https to http: what was asked for in private is not asked in clear.
            return Fail(t.Secure && scheme == "http" ? ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR : ERROR_HTTP_REDIRECT_FAILED);
        }
        DrainRedirect(*req, t.Verb);
        t.Object = EncodeObject(t.Object);
        // Credentials stay with the server they were given for.
        if (t.Host != conn.Host || t.Port != req->Port) t.SendCredentials = false;
        int status = req->Response.Status;
        if (status == 303 || ((status == 301 || status == 302) && SameText(t.Verb, "POST"))) {
            if (!SameText(t.Verb, "HEAD")) t.Verb = "GET";
            body.clear();
        }
    }
    req->HaveResponse = true;
    req->Body.Start(req->Response, t.Verb);
    ReleaseConnection(*req);  // a response without a body ends here
    tLastError = ERROR_SUCCESS;
    return TRUE;
}

// ==== reading =============================================================================================

BOOL InternetReadFile(HINTERNET file, LPVOID buffer, DWORD numberOfBytesToRead,
                      LPDWORD numberOfBytesRead) {
    if (!numberOfBytesRead) return Fail(ERROR_INVALID_PARAMETER);
    *numberOfBytesRead = 0;
    auto req = Lookup<TRequestHandle>(file);
    if (!req) return FALSE;
    if (!buffer && numberOfBytesToRead) return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> g(req->Lock);
    if (!req->HaveResponse) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    tLastError = ERROR_SUCCESS;
    // The connection has gone (to the pool, or closed) once the body ended.
    if (req->Body.Ended()) return TRUE;
    if (!req->Sock) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    size_t got = 0;
    DWORD r = req->Body.Read(*req->Sock, static_cast<char*>(buffer), numberOfBytesToRead, &got,
                             TimeoutsNow(*req).Receive);
    *numberOfBytesRead = DWORD(got);
    if (r == ERROR_INTERNET_TIMEOUT) req->ExpiredTimeout = INTERNET_OPTION_RECEIVE_TIMEOUT;
    if (r != ERROR_SUCCESS) return Fail(r);
    ReleaseConnection(*req);
    return TRUE;
}

