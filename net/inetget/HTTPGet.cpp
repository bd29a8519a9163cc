// HTTPGet: the getter component and its worker (see HTTPGet.h).
//
// The worker's thread sleeps on a condition variable between transfers. A transfer checks
// the stop request before connecting, after sending, after the head and before each
// block; Terminate also closes the transfer's request handle and aborts the line, which
// makes any internet-library call or line wait blocked return at once, and leaves the
// session (with its idle connections) for the next transfer; the line's abort is cleared
// when the next transfer starts. The answer is read through TGetterAnswer, from the
// library's request or from the line, by one loop. Blocks are 1025 bytes, one synchronised
// progress event each when OnProgress is set. The first reason of a failure is kept as
// the transfer's ErrorText; a stop request overrides it with "cancelled".
//
// Sections: the worker's thread, one transfer (on the line or through the library),
// requests ahead, reading the body, the component. The target file is a unit of its own (TargetFile.h).
#include "net/inetget/HTTPGet.h"

#include "net/inetget/GetterAnswer.h"
#include "net/inetget/GetterReply.h"
#include "net/inetget/RequestsAhead.h"
#include "net/inetget/ServerLine.h"
#include "net/inetget/TargetFile.h"
#include "platform/httpwire/HttpWire.h"
#include "platform/messages/Messages.h"
#include "platform/rtl/SysUtils.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <utility>
#include <vector>

using namespace getterreply;

namespace {

constexpr DWORD BlockSize = 1025;
const char* const FormContentType = "Content-Type: application/x-www-form-urlencoded";

// The environment's proxy settings as one text: a session opened under other settings
// would go another way than the system's configuration now says.
std::string ProxySettings() {
    std::string text;
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "no_proxy", "NO_PROXY"}) {
        const char* value = std::getenv(name);
        text += std::string(name) + "=" + (value ? value : "") + "\n";
    }
    return text;
}

// Closes H when it is set, and clears it.
void CloseInternetHandle(HINTERNET& h) {
    if (h) InternetCloseHandle(h);
    h = nullptr;
}

bool IsRedirect(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

}  // namespace

// ==== the worker's thread ==========================================================================

THTTPGetThread::THTTPGetThread()
    : FLine(std::make_unique<TServerLine>()), FLinePlace(std::make_unique<TLinePlace>()),
      FAhead(std::make_unique<TRequestsAhead>(
          *FLine, [this](const THTTPGetRequest& request, std::string& headers, std::string& head) {
              inetwire::TConnectionAsk ask;
              return RequestHeaders(request, headers) && LineHead(request, *FLinePlace, headers, head, ask) &&
                     ask.Persistent;
          })) {
    FThread = std::thread([this] { Run(); });
}

THTTPGetThread::~THTTPGetThread() {
    {
        std::lock_guard<std::mutex> g(FLock);
        FQuit = true;
        FLine->Abort();  // a preconnection under way ends at once
    }
    FWake.notify_one();
    if (FThread.joinable()) FThread.join();
}

void THTTPGetThread::Start(bool toFile, const THTTPGetRequest& request, TOnProgressEvent onProgress,
                           bool reportHead) {
    std::lock_guard<std::mutex> g(FLock);
    FToFile = toFile;
    FRequest = request;
    FOnProgress = std::move(onProgress);
    FReportHead = reportHead;
    FProxySettings = ProxySettings();
    FTerminated = false;
    FSuccess = false;
    FHandedOver = true;
    FRunning = true;
    FWake.notify_one();
}

void THTTPGetThread::Preconnect(const THTTPGetRequest& request) {
    std::lock_guard<std::mutex> g(FLock);
    if (FRunning || FPreconnectWanted) return;  // a transfer connects anyway
    FPreconnectRequest = request;
    FPreconnectWanted = true;
    FWake.notify_one();
}

void THTTPGetThread::Run() {
    for (;;) {
        TWork work = WaitForWork();
        if (work == wkQuit) break;
        if (work == wkPreconnect) {
            RunPreconnect();
            continue;
        }
        Execute();
        try {
            DoTerminate();
        } catch (...) {
            // Nothing may escape a thread; TransferDone keeps event errors for a waiting caller.
        }
    }
    CloseSession();
}

THTTPGetThread::TWork THTTPGetThread::WaitForWork() {
    std::unique_lock<std::mutex> g(FLock);
    FWake.wait(g, [this] { return FHandedOver || FPreconnectWanted || FQuit; });
    if (FQuit) return wkQuit;
    // A transfer handed over makes a preconnection pointless: it connects itself.
    bool preconnect = FPreconnectWanted && !FHandedOver;
    FPreconnectWanted = false;
    if (preconnect) return wkPreconnect;
    FHandedOver = false;
    return wkTransfer;
}

void THTTPGetThread::RunPreconnect() {
    THTTPGetRequest request;
    {
        std::lock_guard<std::mutex> g(FLock);
        request = FPreconnectRequest;
    }
    std::string host, path;
    SplitHostPath(request.URL, host, path);
    TLinePlace place;
    // Through a proxy the transfer that follows connects itself.
    if (!LinePlaceFor(request, host, place)) return;
    {
        // A stop that came before finds nothing to abort: the connect does not start.
        std::lock_guard<std::mutex> g(FLock);
        if (FQuit || (FRunning && FTerminated)) return;
        FLine->ClearAbort();
    }
    // Its failure is no one's business: the transfer that follows connects as usual.
    FLine->Preconnect(place, request.ConnectTimeout);
}

void THTTPGetThread::DoTerminate() {
    Synchronize([this] {
        {
            // From here on a stop request finds nothing to stop, and the end handler may
            // hand over the next transfer.
            std::lock_guard<std::mutex> g(FLock);
            FRunning = false;
        }
        if (OnTerminate) OnTerminate();
    });
}

void THTTPGetThread::Terminate() {
    std::lock_guard<std::mutex> g(FLock);
    if (!FRunning) return;
    FTerminated = true;
    FSuccess = false;
    CloseInternetHandle(FRequestHandle);
    FLine->Abort();  // a connect, send or read on the line, or the preconnection it waits behind
}

bool THTTPGetThread::Stopped() {
    if (!FTerminated) return false;
    FSuccess = false;
    return true;
}

void THTTPGetThread::SplitHostPath(const std::string& url, std::string& host, std::string& path) {
    std::string rest = SecureUrl(url) ? url.substr(8) : httpwire::AfterHttpScheme(url);
    size_t slash = rest.find('/');
    if (slash == std::string::npos) {
        host.clear();
        path = rest;
    } else {
        host = rest.substr(0, slash);
        path = rest.substr(slash);
    }
}

std::string THTTPGetThread::UnsupportedScheme(const std::string& url) {
    std::string scheme = httpwire::ForeignScheme(url);
    return scheme == "https" ? std::string() : scheme;
}

bool THTTPGetThread::SecureUrl(const std::string& url) { return httpwire::SchemeOf(url) == "https"; }

bool THTTPGetThread::OpenSession(const std::string& agent, const std::string& proxySettings) {
    if (FSession && FSessionAgent == agent && FSessionProxySettings == proxySettings) return true;
    CloseSession();
    FSession = InternetOpenA(agent.empty() ? nullptr : agent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    FSessionAgent = agent;
    FSessionProxySettings = proxySettings;
    return FSession != nullptr;
}

void THTTPGetThread::CloseSession() {
    FAhead->Drop();
    CloseInternetHandle(FSession);
}

void THTTPGetThread::CloseHandles() {
    FAnswer.reset();
    // An answer not read to its end leaves the line nothing to read the next one from; the
    // requests sent ahead on it are sent afresh by their transfers.
    if (FLine->Reading()) FLine->Close();
    FOnLine = false;
    {
        std::lock_guard<std::mutex> g(FLock);
        CloseInternetHandle(FRequestHandle);
    }
    FRequestInUse = nullptr;
    CloseInternetHandle(FConnect);
}

void THTTPGetThread::ReportProgress() {
    // A stopped transfer (its component may be going away) reports nothing more.
    if (FTerminated || !FOnProgress) return;
    FOnProgress(this, FFileSize, FReaded);
}

// ==== one transfer =================================================================================

void THTTPGetThread::ResetOutcome() {
    FBrokenBehind = false;
    FSuccess = false;
    FTextResult.clear();
    FFileSize = 0;
    FBytesRead = 0;
    FReaded = 0;
    FStatus = 0;
    FStatusText.clear();
    FRawHead.clear();
    FErrorText.clear();
    FHaveLength = false;
    FResumed = false;
}

void THTTPGetThread::Fail(const std::string& reason) {
    FSuccess = false;
    if (FErrorText.empty()) FErrorText = reason;
}

std::string THTTPGetThread::LastInternetError() { return LibraryFailureText(FRequestInUse); }

// Requests ahead that broke the transfer's connection cost it one more run at once, alone;
// a second break is the server's doing and counts.
constexpr int MaxRunsBrokenBehind = 2;

void THTTPGetThread::Execute() {
    for (int run = 1;; ++run) {
        RunOnce();
        // A resumed part has grown by what the broken run appended: that is left to the
        // owner's own retry, which starts afresh.
        if (FSuccess || FTerminated || !FBrokenBehind || run >= MaxRunsBrokenBehind || FRequest.ResumeFrom > 0)
            break;
        // The run alone: no request goes ahead to this server from now on.
        FRequest.Servers->NoAhead(FHost);
        FAhead->Drop();
        CloseHandles();
    }
    CloseHandles();
}

void THTTPGetThread::RunOnce() {
    ResetOutcome();
    {
        // A stop from now on aborts the line; one that came before is seen by Stopped.
        std::lock_guard<std::mutex> g(FLock);
        FLine->ClearAbort();
    }
    try {
        // Never send an address meant for another protocol in clear.
        std::string scheme = UnsupportedScheme(FRequest.URL);
        if (!scheme.empty()) {
            Fail("unsupported protocol: " + scheme);
        } else if (!Stopped() && Open() && !Stopped()) {
            TakeHead();
            // Requests ahead wait only behind an answer that keeps its connection and
            // frames its body; the first request on a connection went alone.
            if (NoteConnectionKept() && MayGoAhead() && FOnLine && !Stopped()) SendAhead();
            bool ok = !Stopped() && ReadBody();
            // An error status's text is set below, with every other unexplained failure.
            FSuccess = ok && FStatus < 400 && !FTerminated;
        }
    } catch (const std::exception& e) {
        // A file that cannot be created or written, an event that threw: the run ends
        // here and the transfer has failed.
        Fail(e.what());
    } catch (...) {
        Fail("transfer failed");
    }
    if (FTerminated) {
        // A stopped run asks for nothing more.
        FAhead->Drop();
        FSuccess = false;
        FErrorText = "cancelled";
    } else if (!FSuccess && FErrorText.empty()) {
        Fail(FStatus >= 400 ? StatusErrorText(FStatus, FStatusText) : "transfer failed");
    }
}

bool THTTPGetThread::RequestHeaders(const THTTPGetRequest& request, std::string& lines) const {
    if (!request.PostQuery.empty()) lines += std::string(FormContentType) + "\r\n";
    if (!request.ExtraHeaders.empty()) lines += request.ExtraHeaders + "\r\n";
    if (FToFile && request.ResumeFrom > 0) {
        // A validator with a line break would smuggle in a header line of its own.
        if (httpwire::HasControlBytes(request.IfRange)) return false;
        lines += "Range: bytes=" + IntToStr(request.ResumeFrom) + "-\r\n";
        if (!request.IfRange.empty()) lines += "If-Range: " + request.IfRange + "\r\n";
    }
    return true;
}

HINTERNET THTTPGetThread::OpenRequest(const THTTPGetRequest& request, const std::string& host, HINTERNET& connect) {
    std::string ignored, path;
    SplitHostPath(request.URL, ignored, path);
    // The port written in the address, or the default of its scheme.
    connect = InternetConnectA(FSession, host.c_str(), INTERNET_INVALID_PORT_NUMBER, request.UserName.c_str(),
                               request.Password.c_str(), INTERNET_SERVICE_HTTP, 0, 0);
    if (!connect) return nullptr;
    bool post = !request.PostQuery.empty();
    LPCSTR accept[] = {request.AcceptTypes.c_str(), nullptr};
    // "HTTP/1.0" with INTERNET_FLAG_KEEP_CONNECTION: the request goes out as HTTP/1.1 and
    // its connection is kept for the next transfer.
    DWORD flags = INTERNET_FLAG_KEEP_CONNECTION | (request.UseCache ? 0 : INTERNET_FLAG_RELOAD) |
                  (SecureUrl(request.URL) ? INTERNET_FLAG_SECURE : 0);
    HINTERNET handle = HttpOpenRequestA(connect, post ? "POST" : "GET", path.c_str(), "HTTP/1.0",
                                        request.Referer.c_str(), accept, flags, 0);
    if (!handle) return nullptr;
    InternetSetOptionA(handle, INTERNET_OPTION_CONNECT_TIMEOUT, const_cast<DWORD*>(&request.ConnectTimeout),
                       sizeof(DWORD));
    InternetSetOptionA(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, const_cast<DWORD*>(&request.ReceiveTimeout),
                       sizeof(DWORD));
    return handle;
}

bool THTTPGetThread::LinePlaceFor(const THTTPGetRequest& request, const std::string& host, TLinePlace& place) {
    std::string name;
    uint16_t port = 0;
    if (!UnsupportedScheme(request.URL).empty() || !httpwire::SplitHostPort(host, 0, name, port)) return false;
    place.Secure = SecureUrl(request.URL);
    place.Host = name;
    place.Port = port ? port : place.Secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;
    // The session takes the system's proxy settings, which are the environment's.
    inetwire::TProxy proxy = inetwire::EnvironmentProxy(place.Secure);
    return proxy.Host.empty() || inetwire::Bypassed(proxy.Bypass, name);
}

bool THTTPGetThread::Open() {
    std::string path, headers;
    SplitHostPath(FRequest.URL, FHost, path);
    if (!RequestHeaders(FRequest, headers)) {
        Fail("invalid request header");
        FAhead->Drop();
        return false;
    }
    if (!OpenSession(FRequest.Agent, FProxySettings)) {
        Fail(LastInternetError());
        return false;
    }
    // The handles check the request's texts as the library checks them, whichever way the
    // request then goes.
    HINTERNET request = OpenRequest(FRequest, FHost, FConnect);
    if (!request) {
        Fail(LastInternetError());
        FAhead->Drop();
        return false;
    }
    FRequestInUse = request;
    {
        // Terminate closes what it finds here; one of us sees the other.
        std::lock_guard<std::mutex> g(FLock);
        FRequestHandle = request;
    }
    if (Stopped()) return false;
    TLinePlace place;
    if (LinePlaceFor(FRequest, FHost, place) && OnLine(place)) return OpenOnLine(place, headers);
    FAhead->Drop();
    return SendThroughLibrary(request, headers, FRequest.PostQuery);
}

bool THTTPGetThread::SendThroughLibrary(HINTERNET request, const std::string& headers, const std::string& body) {
    BOOL sent = HttpSendRequestA(request, headers.c_str(), DWORD(headers.size()),
                                 body.empty() ? nullptr : const_cast<char*>(body.data()), DWORD(body.size()));
    if (!sent) {
        Fail(LastInternetError());
        return false;
    }
    FAnswer = LibraryAnswer(request);
    return true;
}

inetwire::TTimeouts THTTPGetThread::LineTimeouts() const {
    inetwire::TTimeouts limits;
    limits.Connect = FRequest.ConnectTimeout;
    limits.Receive = FRequest.ReceiveTimeout;
    // The send time-out is the library's, as the request handle has it.
    DWORD ms = 0, len = sizeof ms;
    if (FRequestInUse && InternetQueryOptionA(FRequestInUse, INTERNET_OPTION_SEND_TIMEOUT, &ms, &len)) limits.Send = ms;
    return limits;
}

bool THTTPGetThread::LineHead(const THTTPGetRequest& request, const TLinePlace& place, const std::string& headers,
                              std::string& head, inetwire::TConnectionAsk& ask) const {
    std::vector<std::string> extra;
    if (!inetwire::SplitExtraHeaders(headers, extra)) return false;
    std::string ignored, path;
    SplitHostPath(request.URL, ignored, path);
    const bool post = !request.PostQuery.empty();
    // As OpenRequest opens it: "HTTP/1.0" with INTERNET_FLAG_KEEP_CONNECTION.
    ask = inetwire::AskForConnection("HTTP/1.0", true, extra);
    inetwire::TRequestFields f;
    f.Verb = post ? "POST" : "GET";
    f.Target = inetwire::EncodeObject(path);
    f.Version = ask.Version;
    f.Accept = request.AcceptTypes;
    f.Referer = request.Referer;
    f.Agent = request.Agent;
    f.Host = inetwire::HostHeader(place.Host, place.Port, place.Secure);
    if (!request.UserName.empty()) f.Credentials = request.UserName + ":" + request.Password;
    f.Connection = ask.Line;
    f.Extra = std::move(extra);
    f.SendsLength = post;
    f.BodyLength = request.PostQuery.size();
    head = inetwire::ComposeRequestHead(f);
    return true;
}

bool THTTPGetThread::OpenOnLine(const TLinePlace& place, const std::string& headers) {
    *FLinePlace = place;
    FOnLine = true;
    const inetwire::TTimeouts limits = LineTimeouts();
    const bool post = !FRequest.PostQuery.empty();
    bool sentAhead = MayGoAhead() && FAhead->Take(FRequest.URL, headers);
    if (!sentAhead) FAhead->Drop();
    DWORD r = ERROR_SUCCESS;
    bool afresh = false;
    if (sentAhead) r = FLine->TakeNext(limits, afresh);
    if (!sentAhead || afresh) {
        std::string head;
        inetwire::TConnectionAsk ask;
        if (!LineHead(FRequest, place, headers, head, ask)) {
            Fail(InternetErrorText(ERROR_HTTP_INVALID_HEADER));
            return false;
        }
        // Only a GET that keeps its connection goes again when a waiting connection was
        // closed under it; a POST is never sent twice.
        r = FLine->Send(place, head, FRequest.PostQuery, post ? "POST" : "GET", ask, !post && ask.Persistent, limits);
    }
    // Its answer could not come on the connection it went out on: the server dropped it
    // or the line broke before its turn. Such a server gets no more requests ahead.
    if (afresh) {
        FRequest.Servers->NoAhead(FHost);
        FAhead->Drop();
    }
    if (r != ERROR_SUCCESS) {
        Fail(LineFailureText(*FLine, r, limits));
        FBrokenBehind = FAhead->WaitedBehind();
        return false;
    }
    std::string location;
    if (IsRedirect(FLine->Head().Status) && FLine->Head().Find("Location", 0, location))
        return FollowFromLine(place, headers, location);
    FAnswer = LineAnswer(*FLine, limits);
    return true;
}

bool THTTPGetThread::FollowFromLine(const TLinePlace& place, const std::string& headers, const std::string& location) {
    const int status = FLine->Head().Status;
    // The line answers nothing after a redirect: its body is not read.
    FAhead->Drop();
    FLine->Close();
    FOnLine = false;
    std::string ignored, path, scheme;
    SplitHostPath(FRequest.URL, ignored, path);
    bool secure = place.Secure;
    std::string host = place.Host;
    uint16_t port = place.Port;
    std::string object = inetwire::EncodeObject(path);
    if (!inetwire::ResolveLocation(location, secure, host, port, object, scheme)) {
        // Never from https to http: what was asked for in private is not asked in clear.
        Fail(InternetErrorText(place.Secure && scheme == "http" ? ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR
                                                                : ERROR_HTTP_REDIRECT_FAILED));
        return false;
    }
    // The next hop as the library takes it: 303, and 301 or 302 after a POST, as a GET;
    // credentials only for the server they were given for.
    THTTPGetRequest next = FRequest;
    next.URL = std::string(secure ? "https://" : "http://") + inetwire::HostHeader(host, port, secure) + object;
    if (status == 303 || status == 301 || status == 302) next.PostQuery.clear();
    if (host != place.Host || port != place.Port) {
        next.UserName.clear();
        next.Password.clear();
    }
    CloseHandles();
    std::string nextHost;
    SplitHostPath(next.URL, nextHost, path);
    HINTERNET request = OpenRequest(next, nextHost, FConnect);
    if (!request) {
        Fail(LastInternetError());
        return false;
    }
    FRequestInUse = request;
    {
        std::lock_guard<std::mutex> g(FLock);
        FRequestHandle = request;
    }
    if (Stopped()) return false;
    return SendThroughLibrary(request, headers, next.PostQuery);
}

// ==== requests ahead ===============================================================================

bool THTTPGetThread::OnLine(const TLinePlace& place) const {
    if (FLine->HasPreconnection(place)) return true;
    if (!FToFile || !FRequest.PostQuery.empty() || FRequest.AheadLimit <= 0) return false;
    // A server struck off keeps the connection it kept: only no request goes ahead on it.
    return FRequest.Servers->MayGoAhead(FHost) || FLine->HasIdleConnection(place);
}

bool THTTPGetThread::MayGoAhead() const {
    return FToFile && FRequest.PostQuery.empty() && FRequest.AheadLimit > 0 && FRequest.Servers->MayGoAhead(FHost);
}

bool THTTPGetThread::NoteConnectionKept() {
    if (TRequestsAhead::HeadTakesRequestsBehind(FRawHead, FStatus)) return true;
    if (!MayGoAhead()) return false;
    FRequest.Servers->NoAhead(FHost);
    FAhead->Drop();
    return false;
}

void THTTPGetThread::SendAhead() {
    std::vector<THTTPGetNext> wanted;
    {
        std::lock_guard<std::mutex> g(FLock);
        wanted = FWanted;
    }
    FAhead->Fill(FRequest, FHost, wanted, LineTimeouts().Send, [this] { return Stopped(); });
}

void THTTPGetThread::SetAhead(std::vector<THTTPGetNext> next) {
    std::lock_guard<std::mutex> g(FLock);
    FWanted = std::move(next);
}

// ==== reading the body ==============================================================================

void THTTPGetThread::TakeHead() {
    FStatus = FAnswer->Status();
    FStatusText = FAnswer->StatusText();
    FRawHead = FAnswer->RawHead();
    if (FReportHead && OnHead && !FTerminated) Synchronize(OnHead);
}

bool THTTPGetThread::ReadBody() {
    if (!ReadLength() || Stopped()) return false;
    std::unique_ptr<TTargetFile> file;
    if (FToFile && !OpenTarget(file)) return false;
    bool copied = CopyBody(file.get());
    if (file) file->Flush();  // a write error here fails the transfer
    if (!copied) return false;
    if (!FToFile && FReaded == 0) {
        Fail("empty answer");
        return false;
    }
    if (FToFile && FHaveLength && FFileSize != FReaded) {
        Fail("received " + IntToStr(FReaded) + " of " + IntToStr(FFileSize) + " bytes");
        return false;
    }
    return true;
}

bool THTTPGetThread::ReadLength() {
    std::string lengthText;
    FHaveLength = FAnswer->ContentLength(lengthText);
    // Without a length, BinaryData means: do not read (and create no file).
    if (!FHaveLength && FRequest.BinaryData) {
        Fail("no Content-Length");
        return false;
    }
    if (!FHaveLength) return true;
    int64_t size = StrToIntDef(Trim(lengthText), -1);
    if (size < 0) {
        Fail("invalid Content-Length");
        return false;
    }
    if (size > INT32_MAX) {  // beyond what FileSize can hold
        Fail("Content-Length too large");
        return false;
    }
    FFileSize = int32_t(size);
    return true;
}

bool THTTPGetThread::OpenTarget(std::unique_ptr<TTargetFile>& file) {
    if (FRequest.ResumeFrom <= 0) {
        file = TTargetFile::Create(FRequest.FileName);
        return true;
    }
    // A range asked for: only the whole resource or the rest of it may touch the file.
    std::string range = httpwire::HeadFieldValue(FRawHead, "Content-Range");
    if (FStatus == 206 && RangeContinues(range, FRequest.ResumeFrom, FHaveLength ? FFileSize : -1)) {
        file = TTargetFile::Append(FRequest.FileName, FRequest.ResumeFrom);
        FResumed = true;
    } else if (FStatus == 200) {
        file = TTargetFile::Create(FRequest.FileName);
    } else if (FStatus == 206) {
        Fail(range.empty() ? "206 answer without Content-Range"
                           : "unexpected Content-Range \"" + range + "\" (asked from " +
                                 IntToStr(FRequest.ResumeFrom) + ")");
        return false;
    } else {
        Fail(FStatus >= 400 ? StatusErrorText(FStatus, FStatusText)
                            : "unexpected answer " + IntToStr(FStatus) + " to a range request");
        return false;
    }
    return true;
}

bool THTTPGetThread::CopyBody(TTargetFile* file) {
    std::vector<char> block(BlockSize);
    for (;;) {
        if (Stopped()) return false;
        DWORD got = 0;
        bool readFailed = false;
        DWORD error = FAnswer->Read(block.data(), BlockSize, got);
        if (error != ERROR_SUCCESS) {
            readFailed = true;
            // Bytes delivered with a failure are still the body's; keep them.
            Fail(error == ERROR_INTERNET_CONNECTION_ABORTED && FHaveLength
                     ? "connection closed after " + IntToStr(int64_t(FReaded) + got) + " of " +
                           IntToStr(FFileSize) + " bytes"
                     : FAnswer->FailureText(error));
            FBrokenBehind = FOnLine && FAhead->WaitedBehind();
        }
        FBytesRead = got;
        if (got == 0) return !readFailed;
        if (int64_t(FReaded) + got > INT32_MAX) {
            Fail("answer too large");
            return false;
        }
        if (file) file->Write(block.data(), got);
        else FTextResult.append(block.data(), got);
        FReaded += int32_t(got);
        if (FOnProgress) Synchronize([this] { ReportProgress(); });
        if (readFailed) return false;
    }
}

// ==== the component ===============================================================================

THTTPGet::THTTPGet(TComponent* AOwner) : TComponent(AOwner) {
    FRequest.AcceptTypes = "*/*";
    FRequest.Agent = "Corvane HTTPGet";
    FRequest.Servers = std::make_shared<TServerMemory>();
}

THTTPGet::~THTTPGet() {
    FDestroying = true;
    CancelTransfer();
    // The worker may be waiting in Synchronize for this thread: keep processing messages
    // until its end handler has run, so it can finish; then its thread ends.
    if (FBusy) WaitUntil([this] { return !FBusy; });
    FCancelTarget = nullptr;
    FWorker.reset();
}

void THTTPGet::StartTransfer() { Start(true); }
void THTTPGet::StartStringTransfer() { Start(false); }

void THTTPGet::EnsureWorker() {
    if (FWorker) return;
    FWorker = std::make_unique<THTTPGetThread>();
    FWorker->OnTerminate = [this] { TransferDone(); };
    FWorker->OnHead = [this] { HeadArrived(); };
    FCancelTarget = FWorker.get();
}

void THTTPGet::Preconnect(const std::string& URL) {
    EnsureWorker();
    THTTPGetRequest request = FRequest;
    request.URL = URL;
    FWorker->Preconnect(request);
}

void THTTPGet::SetAhead(std::vector<THTTPGetNext> Next) {
    EnsureWorker();
    FWorker->SetAhead(std::move(Next));
}

void THTTPGet::Start(bool toFile) {
    if (FBusy) return;  // the second request is dropped
    EnsureWorker();
    FBusy = true;
    FStatusCode = 0;
    FRawHead.clear();
    FErrorText.clear();
    FResumed = false;
    FWorker->Start(toFile, FRequest, OnProgress, bool(OnHead));
    if (!FWaitThread) return;
    // Blocks in the message platform's wait between passes; every message is dispatched.
    WaitUntil([this] { return !FBusy; });
    // An exception from the done or error event goes to our caller, on this thread.
    if (FEventError) std::rethrow_exception(std::exchange(FEventError, nullptr));
}

void THTTPGet::CancelTransfer() {
    if (THTTPGetThread* worker = FCancelTarget) worker->Terminate();
}

std::string THTTPGet::ResponseHeader(const std::string& Name) const { return httpwire::HeadFieldValue(FRawHead, Name); }

void THTTPGet::HeadArrived() {
    FStatusCode = FWorker->HttpStatus();
    FRawHead = FWorker->RawHead();
    if (!FDestroying && OnHead) OnHead(this, FStatusCode, FRawHead);
}

void THTTPGet::TakeOutcome(const THTTPGetThread& worker) {
    FLastResult = worker.Success();
    FStatusCode = worker.HttpStatus();
    FRawHead = worker.RawHead();
    FErrorText = FLastResult ? "" : worker.ErrorText();
    FResumed = worker.Resumed();
}

void THTTPGet::TransferDone() {
    if (!FBusy) return;
    TakeOutcome(*FWorker);
    try {
        if (!FDestroying) RaiseOutcome(*FWorker);
    } catch (...) {
        // Kept for a waiting StartTransfer, which rethrows it; the busy state ends all
        // the same, so a wait always ends.
        FEventError = std::current_exception();
    }
    FBusy = false;
    // Nobody waits to receive it otherwise; do not let it surface at a later wait.
    if (!FWaitThread) FEventError = nullptr;
}

void THTTPGet::RaiseOutcome(THTTPGetThread& worker) {
    if (!FLastResult) {
        if (OnError) OnError(this);
    } else if (worker.ToFile()) {
        if (OnDoneFile) OnDoneFile(this, worker.FileName(), worker.FileSize());
    } else if (OnDoneString) {
        OnDoneString(this, worker.TextResult());
    }
}
