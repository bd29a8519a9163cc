// WinInet: sending ahead and preconnections (see WinInet.h, "Sending ahead"). A request
// sent ahead goes on a connection the server has shown it keeps: an idle pooled one that
// carried a request, or behind an answer that keeps its connection and frames its body.
// A request touches another request's fields only under that request's lock, taken with
// try_lock: a call never waits for another thread.
#include "platform/wininet/WinInet.h"

#include "platform/wininet/InetExchange.h"
#include "platform/wininet/InetTls.h"
#include "platform/rtl/SysUtils.h"

#include <memory>
#include <mutex>
#include <vector>

using namespace inetwire;

// ==== sending ahead ===================================================================================

namespace {

// True when the request may go ahead: a GET that keeps its connection and goes direct (a
// proxy or other intermediary is where pipelining breaks).
bool MayGoAhead(const TRequestHandle& req, const std::vector<std::string>& extra) {
    const TConnectHandle& conn = req.Connection();
    bool proxied = Proxied(conn.Session(), conn.Host, req.Secure);
    return SameText(req.Verb, "GET") && AskForConnection(req, extra).Persistent && !proxied;
}

// Sends Head on an idle pooled connection to Key that was kept after an answer, which
// becomes the line the request waits first in. A new connection (or a preconnection) is
// not known to be kept by the server: the first request on it goes alone, by
// HttpSendRequestA (RFC 9112, section 9.3.2).
DWORD SendOnOwnConnection(TRequestHandle& req, const std::string& key, const std::string& head,
                          const TTimeouts& limits, std::shared_ptr<TInetLine>& line) {
    std::unique_ptr<TInetSocket> sock = req.Session().Pool->Take(key, TInetPool::tkProvenOnly);
    if (!sock) return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
    sock->SetAbortFd(req.AbortFd);
    DWORD r = sock->SendAll(head, limits.Send);
    if (r == ERROR_INTERNET_TIMEOUT && !req.ExpiredTimeout) req.ExpiredTimeout = INTERNET_OPTION_SEND_TIMEOUT;
    if (r != ERROR_SUCCESS) return r;
    sock->SetAbortFd(-1);
    line = std::make_shared<TInetLine>(key, std::move(sock), req.Id);
    return ERROR_SUCCESS;
}

// True when requests may wait behind the answer Behind is reading: its head says the
// connection stays open and its body has an end of its own (a length or chunks), so the
// answers behind it can be told apart from it.
bool AnswerTakesRequestsBehind(const TRequestHandle& behind) {
    TBodyReader::TMode mode = behind.Body.Mode();
    return behind.Persistent && HeadKeepsConnection(behind.Response) && mode != TBodyReader::UntilClose;
}

// The line of the connection Behind's answer comes (or will come) on, made when Behind
// holds a connection without one. Caller holds Behind's lock.
DWORD LineBehind(TRequestHandle& behind, const std::string& key, std::shared_ptr<TInetLine>& line) {
    // Behind's own answer has come: it must show that the connection goes on after it.
    if (behind.HaveResponse && behind.Sock && !behind.Body.Ended() && !AnswerTakesRequestsBehind(behind))
        return ERROR_INVALID_PARAMETER;
    if (behind.Line) {
        line = behind.Line;  // a line is made only on a connection known to be kept
    } else if (behind.HaveResponse && behind.Sock && !behind.Body.Ended()) {
        line = std::make_shared<TInetLine>(behind.SockKey, behind.Sock->Id(), behind.Id);
        behind.Line = line;
    } else {
        return ERROR_INTERNET_INCORRECT_HANDLE_STATE;  // not sent, or its connection has gone
    }
    // A redirect may have taken its answer to another place.
    return line->Key() == key ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
}

// Sends Head at the end of Behind's line. The connection is written to only while no call
// reads it: it waits in the line, or its holder is not inside a call (its lock, tried).
DWORD SendBehind(TRequestHandle& req, TRequestHandle& behind, const std::string& key, const std::string& head,
                 const TTimeouts& limits, std::shared_ptr<TInetLine>& line) {
    std::unique_lock<std::mutex> behindLock(behind.Lock, std::try_to_lock);
    if (!behindLock) return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
    DWORD r = LineBehind(behind, key, line);
    if (r != ERROR_SUCCESS) return r;
    uintptr_t holderId = 0;
    if (!line->Holder(holderId)) return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
    std::shared_ptr<TRequestHandle> holder;
    std::unique_lock<std::mutex> holderLock;  // released before Holder
    TInetSocket* held = nullptr;
    if (holderId == behind.Id) {
        held = behind.Sock.get();
    } else if (holderId) {
        holder = LiveRequest(holderId);
        if (!holder) return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
        holderLock = std::unique_lock<std::mutex>(holder->Lock, std::try_to_lock);
        if (!holderLock) return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
        held = holder->Sock.get();
    }
    r = line->SendBehind(req.Id, head, req.AbortFd, limits.Send, holderId, held);
    if (r == ERROR_INTERNET_TIMEOUT) req.ExpiredTimeout = INTERNET_OPTION_SEND_TIMEOUT;
    return r;
}

}  // namespace

BOOL HttpSendRequestAheadA(HINTERNET request, HINTERNET behind, LPCSTR headers, DWORD headersLength) {
    auto req = Lookup<TRequestHandle>(request);
    if (!req) return FALSE;
    std::shared_ptr<TRequestHandle> after;
    if (behind) {
        after = Lookup<TRequestHandle>(behind);
        if (!after) return FALSE;
        if (after == req) return Fail(ERROR_INVALID_PARAMETER);
    }
    std::lock_guard<std::mutex> g(req->Lock);
    TConnectHandle& conn = req->Connection();
    TSessionHandle& session = conn.Session();
    if (req->Sent || req->SentAhead) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    std::vector<std::string> extra;
    if (!SplitExtraHeaders(HeaderText(headers, headersLength), extra)) return Fail(ERROR_HTTP_INVALID_HEADER);
    if (!MayGoAhead(*req, extra)) return Fail(ERROR_INVALID_PARAMETER);
    // Parents never change, so another request's session and place are read without its lock.
    TTarget t = FirstTarget(*req);
    std::string key = TargetKey(t, TProxy());
    if (&(after ? *after : *req).Session() != &session || (after && TargetKey(FirstTarget(*after), TProxy()) != key))
        return Fail(ERROR_INVALID_PARAMETER);

    req->ExpiredTimeout = 0;
    TConnectionAsk ask = AskForConnection(*req, extra);
    std::string head = ComposeHead(*req, conn, session, t, false, ask, extra, 0);
    TTimeouts limits = TimeoutsNow(*req);
    std::shared_ptr<TInetLine> line;
    DWORD r = after ? SendBehind(*req, *after, key, head, limits, line)
                    : SendOnOwnConnection(*req, key, head, limits, line);
    if (r != ERROR_SUCCESS) return Fail(r);
    req->Line = std::move(line);
    req->SentAhead = true;
    req->AheadExtra = std::move(extra);
    req->RequestHead = head;
    req->Persistent = true;
    req->SockKey = key;
    req->ConnectionId = req->Line->ConnectionId();
    tLastError = ERROR_SUCCESS;
    return TRUE;
}

BOOL InternetPreconnectA(HINTERNET request) {
    auto req = Lookup<TRequestHandle>(request);
    if (!req) return FALSE;
    std::lock_guard<std::mutex> g(req->Lock);
    const TConnectHandle& conn = req->Connection();
    const TSessionHandle& session = conn.Session();
    TTarget t = FirstTarget(*req);
    TProxy proxy = ProxyFor(session, conn.Host, req->Secure);
    std::string key = TargetKey(t, proxy);
    req->ExpiredTimeout = 0;
    LastFailureText().clear();
    std::unique_ptr<TInetSocket> sock;
    DWORD r = ConnectFor(*req, t, proxy, TimeoutsNow(*req).Connect, sock);
    if (r != ERROR_SUCCESS) return Fail(r);
    req->Session().Pool->Put(key, std::move(sock));
    tLastError = ERROR_SUCCESS;
    return TRUE;
}

