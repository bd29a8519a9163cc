// HTTPGet: the getter component and its worker (see HTTPGet.h).
//
// The worker's thread sleeps on a condition variable between transfers. A transfer checks
// the stop request before connecting, after sending, after the head and before each
// block; Terminate also closes the transfer's request handle, which makes any
// internet-library call blocked on it return at once, and leaves the session (with its
// idle connections) for the next transfer. Blocks are 1025 bytes, one synchronised
// progress event each when OnProgress is set. The first reason of a failure is kept as
// the transfer's ErrorText; a stop request overrides it with "cancelled".
//
// Sections: the worker's thread, one transfer, requests ahead, reading the body, the
// component. The target file is a unit of its own (TargetFile.h).
#include "net/inetget/HTTPGet.h"

#include "net/inetget/GetterReply.h"
#include "net/inetget/RequestsAhead.h"
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
constexpr DWORD LengthBufferSize = 1024;
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

// A text query of the request; empty when it fails.
std::string QueryText(HINTERNET request, DWORD level) {
    std::vector<char> buffer(1024);
    DWORD len = DWORD(buffer.size());
    if (!HttpQueryInfoA(request, level, buffer.data(), &len, nullptr)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return "";
        buffer.resize(len);
        if (!HttpQueryInfoA(request, level, buffer.data(), &len, nullptr)) return "";
    }
    return std::string(buffer.data(), len);
}

}  // namespace

// ==== the worker's thread ==========================================================================

THTTPGetThread::THTTPGetThread()
    : FAhead(std::make_unique<TRequestsAhead>(
          [this](const THTTPGetRequest& request, const std::string& host, std::string& headers, HINTERNET& connect) {
              return RequestHeaders(request, headers) ? OpenRequest(request, host, connect) : nullptr;
          })) {
    FThread = std::thread([this] { Run(); });
}

THTTPGetThread::~THTTPGetThread() {
    {
        std::lock_guard<std::mutex> g(FLock);
        FQuit = true;
        CloseInternetHandle(FPreconnectHandle);  // a connect under way ends at once
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
    FPreconnectProxySettings = ProxySettings();
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
    std::string proxySettings;
    {
        std::lock_guard<std::mutex> g(FLock);
        request = FPreconnectRequest;
        proxySettings = FPreconnectProxySettings;
    }
    std::string host, path;
    SplitHostPath(request.URL, host, path);
    if (!UnsupportedScheme(request.URL).empty() || !OpenSession(request.Agent, proxySettings)) return;
    HINTERNET connect = nullptr;
    HINTERNET handle = OpenRequest(request, host, connect);
    {
        std::lock_guard<std::mutex> g(FLock);
        if (FQuit || (FRunning && FTerminated)) CloseInternetHandle(handle);
        FPreconnectHandle = handle;
    }
    // Its failure is no one's business: the transfer that follows connects as usual.
    if (handle) InternetPreconnectA(handle);
    {
        std::lock_guard<std::mutex> g(FLock);
        CloseInternetHandle(FPreconnectHandle);
    }
    CloseInternetHandle(connect);
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
    CloseInternetHandle(FPreconnectHandle);  // the transfer waits behind it
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

std::string THTTPGetThread::LastInternetError() {
    DWORD error = GetLastError();
    // A certificate not accepted, a handshake or a tunnel that failed: the library's text
    // names the host and the reason.
    char text[1024];
    DWORD textLength = sizeof text, ignored = 0;
    if (InternetGetLastResponseInfoA(&ignored, text, &textLength) && textLength > 0) return std::string(text, textLength);
    if (error != ERROR_INTERNET_TIMEOUT || !FRequestInUse) return InternetErrorText(error);
    DWORD expired = 0, ms = 0, len = sizeof expired;
    InternetQueryOptionA(FRequestInUse, INTERNET_OPTION_EXPIRED_TIMEOUT, &expired, &len);
    len = sizeof ms;
    if (expired) InternetQueryOptionA(FRequestInUse, expired, &ms, &len);
    const char* wait = expired == INTERNET_OPTION_CONNECT_TIMEOUT ? "connect"
                     : expired == INTERNET_OPTION_SEND_TIMEOUT    ? "send"
                                                                  : "receive";
    return InternetErrorText(error, wait, ms);
}

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
    try {
        // Never send an address meant for another protocol in clear.
        std::string scheme = UnsupportedScheme(FRequest.URL);
        if (!scheme.empty()) {
            Fail("unsupported protocol: " + scheme);
        } else if (!Stopped() && Open() && !Stopped()) {
            TakeHead();
            // Requests ahead wait only behind an answer that keeps its connection and
            // frames its body; the first request on a connection went alone.
            if (NoteConnectionKept() && MayGoAhead() && !Stopped()) SendAhead();
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
    DWORD line = 0;
    HINTERNET request = MayGoAhead() ? FAhead->Take(FRequest.URL, headers, FConnect, line) : nullptr;
    const bool sentAhead = request != nullptr;
    if (!sentAhead) {
        FAhead->Drop();
        request = OpenRequest(FRequest, FHost, FConnect);
    }
    if (!request) {
        Fail(LastInternetError());
        return false;
    }
    FRequestInUse = request;
    {
        // Terminate closes what it finds here; one of us sees the other.
        std::lock_guard<std::mutex> g(FLock);
        FRequestHandle = request;
    }
    if (Stopped()) return false;
    bool post = !FRequest.PostQuery.empty();
    BOOL sent = HttpSendRequestA(request, headers.c_str(), DWORD(headers.size()),
                                 post ? const_cast<char*>(FRequest.PostQuery.data()) : nullptr,
                                 DWORD(FRequest.PostQuery.size()));
    if (!sent) {
        Fail(LastInternetError());
        FBrokenBehind = FAhead->WaitedBehind(FRequestInUse);  // after the error was read: it queries
    }
    // Its answer came on another connection than it went out on: the line it waited in
    // broke, and the library sent it afresh. Such a server gets no more requests ahead.
    if (sentAhead && ConnectionIdOf(request) != line) {
        FRequest.Servers->NoAhead(FHost);
        FAhead->Drop();
    }
    return sent != FALSE;
}

// ==== requests ahead ===============================================================================

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
    FAhead->Fill(FRequestInUse, FRequest, FHost, wanted, [this] { return Stopped(); });
}

void THTTPGetThread::SetAhead(std::vector<THTTPGetNext> next) {
    std::lock_guard<std::mutex> g(FLock);
    FWanted = std::move(next);
}

// ==== reading the body ==============================================================================

void THTTPGetThread::TakeHead() {
    DWORD status = 0, len = sizeof status;
    if (HttpQueryInfoA(FRequestInUse, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &len, nullptr))
        FStatus = int(status);
    FStatusText = QueryText(FRequestInUse, HTTP_QUERY_STATUS_TEXT);
    FRawHead = QueryText(FRequestInUse, HTTP_QUERY_RAW_HEADERS_CRLF);
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
    std::vector<char> lengthText(LengthBufferSize + 1, 0);
    DWORD len = LengthBufferSize;
    FHaveLength = HttpQueryInfoA(FRequestInUse, HTTP_QUERY_CONTENT_LENGTH, lengthText.data(), &len, nullptr) != FALSE;
    // Without a length, BinaryData means: do not read (and create no file).
    if (!FHaveLength && FRequest.BinaryData) {
        Fail("no Content-Length");
        return false;
    }
    if (!FHaveLength) return true;
    int64_t size = StrToIntDef(Trim(std::string(lengthText.data(), len)), -1);
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
        if (!InternetReadFile(FRequestInUse, block.data(), BlockSize, &got)) {
            readFailed = true;
            // Bytes delivered with a failure are still the body's; keep them.
            DWORD error = GetLastError();
            Fail(error == ERROR_INTERNET_CONNECTION_ABORTED && FHaveLength
                     ? "connection closed after " + IntToStr(int64_t(FReaded) + got) + " of " +
                           IntToStr(FFileSize) + " bytes"
                     : LastInternetError());
            FBrokenBehind = FAhead->WaitedBehind(FRequestInUse);  // after the error was read: it queries
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
