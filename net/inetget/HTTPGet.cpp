// HTTPGet: the getter component and its worker (see HTTPGet.h).
//
// The worker's run checks the stop request before connecting, after sending, after the
// length query and before each block; Terminate also closes the session handle, which
// makes any internet-library call blocked on it return at once. Blocks are 1025 bytes,
// one synchronised progress event each when OnProgress is set.
#include "net/inetget/HTTPGet.h"

#include "platform/httpwire/HttpWire.h"
#include "platform/messages/Messages.h"
#include "platform/rtl/SysUtils.h"

#include <climits>
#include <exception>
#include <utility>
#include <cstring>
#include <vector>

namespace {

constexpr DWORD BlockSize = 1025;
constexpr DWORD LengthBufferSize = 1024;
const char* const FormContentType = "Content-Type: application/x-www-form-urlencoded";

// The target file, written in large pieces: blocks of 1025 bytes gather here and reach
// the file 64 KB at a time, which spares one system call per block. Whatever was
// received is in the file once the writer is gone, on every path.
class TBlockWriter {
public:
    explicit TBlockWriter(const std::string& fileName) : FFile(fileName, fmCreate) { FPending.reserve(Capacity); }
    ~TBlockWriter() {
        try {
            Flush();
        } catch (...) {
            // Already failing (the flush that threw is the one that counts).
        }
    }
    void Write(const char* data, size_t count) {
        FPending.insert(FPending.end(), data, data + count);
        if (FPending.size() >= Capacity) Flush();
    }
    // Throws EWriteError when the file cannot take the bytes; they are dropped then, so
    // the destructor does not try them again.
    void Flush() {
        if (FPending.empty()) return;
        try {
            FFile.WriteBuffer(FPending.data(), int64_t(FPending.size()));
        } catch (...) {
            FPending.clear();
            throw;
        }
        FPending.clear();
    }

private:
    static constexpr size_t Capacity = 64 * 1024;
    TFileStream FFile;
    std::vector<char> FPending;
};

void CloseHandle(std::atomic<HINTERNET>& slot) {
    if (HINTERNET h = slot.exchange(nullptr)) InternetCloseHandle(h);
}

}  // namespace

// ==== the worker ================================================================================

THTTPGetThread::THTTPGetThread(bool toFile, const THTTPGetRequest& request, TOnProgressEvent onProgress)
    : FToFile(toFile), FRequest(request), FOnProgress(std::move(onProgress)) {}

THTTPGetThread::~THTTPGetThread() {
    if (FThread.joinable()) FThread.join();
}

void THTTPGetThread::Start() {
    FThread = std::thread([this] { Run(); });
}

void THTTPGetThread::Run() {
    Execute();
    try {
        DoTerminate();
    } catch (...) {
        // Nothing may escape a thread; TransferDone keeps event errors for a waiting caller.
    }
}

void THTTPGetThread::DoTerminate() {
    if (OnTerminate) Synchronize(OnTerminate);
}

void THTTPGetThread::Terminate() {
    FTerminated = true;
    FSuccess = false;
    // Closing the session closes the connection and request below it; the worker's own
    // CloseHandles then finds them gone, which is harmless.
    CloseHandle(FSession);
}

bool THTTPGetThread::Stopped() {
    if (!FTerminated) return false;
    FSuccess = false;
    return true;
}

void THTTPGetThread::SplitHostPath(const std::string& url, std::string& host, std::string& path) {
    std::string rest = httpwire::AfterHttpScheme(url);
    size_t slash = rest.find('/');
    if (slash == std::string::npos) {
        host.clear();
        path = rest;
    } else {
        host = rest.substr(0, slash);
        path = rest.substr(slash);
    }
}

void THTTPGetThread::CloseHandles() {
    CloseHandle(FRequestHandle);
    CloseHandle(FConnect);
    CloseHandle(FSession);
}

void THTTPGetThread::ReportProgress() {
    // A stopped transfer (its component may be going away) reports nothing more.
    if (FTerminated || !FOnProgress) return;
    FOnProgress(this, FFileSize, FReaded);
}

void THTTPGetThread::Execute() {
    try {
        std::string host, path;
        SplitHostPath(FRequest.URL, host, path);
        // Never send an address meant for TLS in clear to port 80.
        if (StartsText("https://", FRequest.URL) || Stopped()) {
            FSuccess = false;
            return;
        }
        if (!Open()) {
            FSuccess = false;
        } else if (!Stopped()) {
            bool ok = ReadBody();
            FSuccess = ok && FStatus < 400 && !FTerminated;
        }
    } catch (...) {
        // A file that cannot be created or written, a length that is not a number: the
        // run ends here and the transfer has failed.
        FSuccess = false;
    }
    CloseHandles();
}

bool THTTPGetThread::Open() {
    std::string host, path;
    SplitHostPath(FRequest.URL, host, path);
    const char* agent = FRequest.Agent.empty() ? nullptr : FRequest.Agent.c_str();
    FSession = InternetOpenA(agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    // Terminate reads FSession; checking after storing it means one of us closes it.
    if (Stopped()) return false;
    FConnect = InternetConnectA(FSession, host.c_str(), INTERNET_DEFAULT_HTTP_PORT,
                                FRequest.UserName.c_str(), FRequest.Password.c_str(),
                                INTERNET_SERVICE_HTTP, 0, 0);
    bool post = !FRequest.PostQuery.empty();
    LPCSTR accept[] = {FRequest.AcceptTypes.c_str(), nullptr};
    FRequestHandle = HttpOpenRequestA(FConnect, post ? "POST" : "GET", path.c_str(), "HTTP/1.0",
                                      FRequest.Referer.c_str(), accept,
                                      FRequest.UseCache ? 0 : INTERNET_FLAG_RELOAD, 0);
    BOOL sent = post ? HttpSendRequestA(FRequestHandle, FormContentType, DWORD(std::strlen(FormContentType)),
                                        const_cast<char*>(FRequest.PostQuery.data()),
                                        DWORD(FRequest.PostQuery.size()))
                     : HttpSendRequestA(FRequestHandle, nullptr, 0, nullptr, 0);
    if (!sent) return false;
    DWORD status = 0, len = sizeof status;
    if (HttpQueryInfoA(FRequestHandle, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &len, nullptr))
        FStatus = int(status);
    return true;
}

bool THTTPGetThread::ReadBody() {
    std::vector<char> lengthText(LengthBufferSize + 1, 0);
    DWORD len = LengthBufferSize;
    FHaveLength = HttpQueryInfoA(FRequestHandle, HTTP_QUERY_CONTENT_LENGTH, lengthText.data(), &len, nullptr) != FALSE;
    FSuccess = FHaveLength;
    if (Stopped()) return false;
    // Without a length, BinaryData means: do not read (and create no file).
    if (!FHaveLength && FRequest.BinaryData) return false;
    if (FHaveLength) {
        int64_t size = StrToInt(std::string(lengthText.data(), len));
        if (size < 0 || size > INT32_MAX) return false;  // beyond what FileSize can hold
        FFileSize = int32_t(size);
    }

    FReaded = 0;
    std::unique_ptr<TBlockWriter> file;
    if (FToFile) file = std::make_unique<TBlockWriter>(FRequest.FileName);
    else FTextResult.clear();
    bool readFailed = false;
    std::vector<char> block(BlockSize);
    for (;;) {
        if (Stopped()) return false;
        DWORD got = 0;
        if (!InternetReadFile(FRequestHandle, block.data(), BlockSize, &got)) {
            readFailed = true;
            // Bytes delivered with a failure are still the body's; keep them.
        }
        FBytesRead = got;
        if (got == 0) break;
        if (int64_t(FReaded) + got > INT32_MAX) return false;
        if (file) file->Write(block.data(), got);
        else FTextResult.append(block.data(), got);
        FReaded += int32_t(got);
        if (FOnProgress) Synchronize([this] { ReportProgress(); });
        if (readFailed) break;
    }
    if (file) file->Flush();  // a write error here fails the transfer
    if (readFailed) return false;
    if (!FToFile) return FReaded != 0;
    return FHaveLength ? FFileSize == FReaded : true;
}

// ==== the component ===============================================================================

THTTPGet::THTTPGet(TComponent* AOwner) : TComponent(AOwner) {
    FRequest.AcceptTypes = "*/*";
    FRequest.Agent = "Corvane HTTPGet";
}

THTTPGet::~THTTPGet() {
    FDestroying = true;
    CancelTransfer();
    // The worker may be waiting in Synchronize for this thread: keep processing messages
    // until its end handler has run, so it can finish, then join it.
    if (FThread) WaitUntil([this] { return FThread == nullptr; });
    Reap();
}

void THTTPGet::StartTransfer() { Start(true); }
void THTTPGet::StartStringTransfer() { Start(false); }

void THTTPGet::Start(bool toFile) {
    if (FThread) return;  // busy: the second request is dropped
    Reap();
    FThread = std::make_unique<THTTPGetThread>(toFile, FRequest, OnProgress);
    // The end handler is attached before the worker starts.
    FThread->OnTerminate = [this] { TransferDone(); };
    FThread->Start();
    if (!FWaitThread) return;
    // Blocks in the message platform's wait between passes; every message is dispatched.
    WaitUntil([this] { return FThread == nullptr; });
    Reap();
    // An exception from the done or error event goes to our caller, on this thread.
    if (FEventError) std::rethrow_exception(std::exchange(FEventError, nullptr));
}

void THTTPGet::CancelTransfer() {
    if (FThread) FThread->Terminate();
}

void THTTPGet::TransferDone() {
    THTTPGetThread* worker = FThread.get();
    if (!worker) return;
    FLastResult = worker->Success();
    try {
        if (!FDestroying) RaiseOutcome(*worker);
    } catch (...) {
        // Kept for a waiting StartTransfer, which rethrows it; the worker reference is
        // cleared all the same, so a wait always ends.
        FEventError = std::current_exception();
    }
    // The worker is still inside Synchronize: keep it until it can be joined.
    FFinished = std::move(FThread);
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

void THTTPGet::Reap() { FFinished.reset(); }
