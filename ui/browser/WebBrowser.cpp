// WebBrowser: the browser panel's fetch worker and page display (see WebBrowser.h).
#include "ui/browser/WebBrowser.h"

#include "platform/httpwire/HttpWire.h"
#include "platform/wininet/WinInet.h"
#include "ui/forms/Backend.h"

#include <cstdlib>
#include <vector>

namespace {

constexpr UINT CM_NAVIGATED = WM_USER + 0x7D01;
constexpr const char* BrowserAgent = "Mozilla/4.0 (compatible; Albrivo browser panel)";

std::string EscapeHtml(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string ErrorText(DWORD error) {
    // A certificate not accepted, a failed handshake: the library's text names the host
    // and the reason.
    char text[1024];
    DWORD length = sizeof text, ignored = 0;
    if (InternetGetLastResponseInfoA(&ignored, text, &length) && length > 0) return std::string(text, length);
    switch (error) {
    case ERROR_INTERNET_CANNOT_CONNECT: return "the server cannot be reached";
    case ERROR_INTERNET_TIMEOUT: return "the server did not answer in time";
    case ERROR_INTERNET_NAME_NOT_RESOLVED: return "the server name cannot be resolved";
    case ERROR_INTERNET_OPERATION_CANCELLED: return "the fetch was cancelled";
    case ERROR_INTERNET_CONNECTION_ABORTED:
    case ERROR_INTERNET_CONNECTION_RESET: return "the connection broke";
    default: return "internet error " + IntToStr(error);
    }
}

// The note shown instead of a page.
std::string FailureNote(const std::string& url, const std::string& reason) {
    return "<html><body><p><b>The page cannot be displayed.</b></p><p>" + EscapeHtml(url) + "</p><p>" +
           EscapeHtml(reason) + "</p></body></html>";
}

// Fetches the page through Session; the page's bytes or an error note in Out.
void FetchPage(HINTERNET session, const std::string& url, bool& ok, std::string& out) {
    ok = false;
    // "http[s]://host[:port][/path][?query]" only; user information in it is refused too.
    // An https address is read as its http form; without a port written it goes to 443.
    const bool secure = httpwire::SchemeOf(url) == "https";
    httpwire::THttpUrl parts;
    if (!httpwire::ParseHttpUrl(secure ? "http://" + url.substr(8) : url, parts) || !parts.UserInfo.empty()) {
        out = "not an http or https address";
        return;
    }
    httpwire::TReference ref;
    std::string userInfo, hostPort, host, port;
    httpwire::SplitReference(url, ref);
    httpwire::SplitAuthority(ref.Authority, userInfo, hostPort);
    httpwire::SplitHostPortText(hostPort, host, port);
    HINTERNET connection = InternetConnectA(session, parts.Host.c_str(),
                                            port.empty() ? INTERNET_INVALID_PORT_NUMBER : parts.Port, nullptr,
                                            nullptr, INTERNET_SERVICE_HTTP, 0, 0);
    const char* accept[] = {"text/html", "*/*", nullptr};
    HINTERNET request = connection ? HttpOpenRequestA(connection, "GET", parts.Target.c_str(), nullptr, nullptr,
                                                      accept, INTERNET_FLAG_RELOAD | (secure ? INTERNET_FLAG_SECURE : 0), 0)
                                   : nullptr;
    if (!request || !HttpSendRequestA(request, nullptr, 0, nullptr, 0)) {
        out = ErrorText(GetLastError());
        return;
    }
    std::string page;
    std::vector<char> buffer(16384);
    for (;;) {
        DWORD got = 0;
        if (!InternetReadFile(request, buffer.data(), DWORD(buffer.size()), &got)) {
            out = ErrorText(GetLastError());
            return;
        }
        if (got == 0) break;
        page.append(buffer.data(), got);
        if (page.size() >= BrowserMaxPageBytes) {
            page.resize(BrowserMaxPageBytes);
            break;
        }
    }
    ok = true;
    out = Utf8ToAnsi(page);
}

}  // namespace

TWebBrowser::TWebBrowser(TComponent* AOwner) : THtmlView(AOwner) {
    FWindow = AllocateHWnd([this](TMessage& m) {
        if (m.Msg == CM_NAVIGATED) Completed(unsigned(m.WParam));
    });
}

TWebBrowser::~TWebBrowser() {
    StopWorker();
    DeallocateHWnd(FWindow);
}

void TWebBrowser::StopWorker() {
    if (FSession) InternetCloseHandle(FSession);  // a blocked call returns at once
    FSession = nullptr;
    if (FWorker.joinable()) FWorker.join();
}

void TWebBrowser::Navigate(const std::string& url) {
    StopWorker();
    FLocation = url;
    unsigned navigation = ++FNavigation;
    FBusy = true;
    HINTERNET session = InternetOpenA(BrowserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (!session) {
        {
            std::lock_guard<std::mutex> guard(FLock);
            FResult = TOutcome{false, ErrorText(GetLastError())};
        }
        PostMessageA(FWindow, CM_NAVIGATED, navigation, 0);
        return;
    }
    FSession = session;
    FWorker = std::thread(&TWebBrowser::Fetch, this, url, session, navigation);
}

// The worker: it touches only its copies, FResult under the lock, and the hidden window
// through PostMessageA (safe from any thread). It is joined before the panel goes.
void TWebBrowser::Fetch(std::string url, void* session, unsigned navigation) {
    TOutcome outcome;
    FetchPage(session, url, outcome.Ok, outcome.Text);
    InternetCloseHandle(session);  // fails harmlessly when the panel closed it already
    {
        std::lock_guard<std::mutex> guard(FLock);
        FResult = std::move(outcome);
    }
    PostMessageA(FWindow, CM_NAVIGATED, navigation, 0);
}

void TWebBrowser::Completed(unsigned navigation) {
    if (navigation != FNavigation) return;  // an abandoned navigation's late word
    TOutcome outcome;
    {
        std::lock_guard<std::mutex> guard(FLock);
        outcome = std::move(FResult);
    }
    if (FWorker.joinable()) FWorker.join();  // it has posted: it is about to end
    FSession = nullptr;
    FBusy = false;
    FPageShown = outcome.Ok;
    FCompleted++;
    SetHtml(outcome.Ok ? outcome.Text : FailureNote(FLocation, outcome.Text));
    DeliverEvent(this, [this] {
        if (OnDocumentComplete) OnDocumentComplete(this, FLocation);
    });
}
