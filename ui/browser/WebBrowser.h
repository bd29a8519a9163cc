// WebBrowser: the small browser panel that shows one web page.
//
// Navigate returns at once: the page is fetched on a worker thread owned by the panel,
// through the internet library's blocking calls, and the worker posts the outcome to the
// panel's hidden window, so the page (or a short note saying why it could not be shown)
// appears on the interface thread inside the ordinary message loop. Nothing the worker
// does can reach the rest of the program: a failure becomes the note, a slow server only
// keeps the panel waiting. A new Navigate, and the panel's destruction, close the running
// fetch's internet session, which makes its blocked call return at once, and join the
// worker; so no worker outlives the panel and no result reaches a destroyed one.
#pragma once

#include "ui/forms/ExtCtrls.h"

#include <mutex>
#include <string>
#include <thread>

// Upper bound of a page's size; the rest is not read.
constexpr size_t BrowserMaxPageBytes = 1 << 20;

class TWebBrowser : public THtmlView {
public:
    explicit TWebBrowser(TComponent* AOwner);
    ~TWebBrowser() override;

    // Starts showing the page at Url ("http://host[:port]/path?query"); any fetch still
    // running is abandoned.
    void Navigate(const std::string& url);
    // The address of the latest Navigate.
    const std::string& LocationURL() const { return FLocation; }
    // A fetch is running.
    bool Busy() const { return FBusy; }
    // Whether the latest completed navigation showed the page (false: the note).
    bool PageShown() const { return FPageShown; }
    // Completed navigations, counted on the interface thread.
    int CompletedCount() const { return FCompleted; }

    // Runs on the interface thread when a navigation has completed, shown or not.
    std::function<void(TObject* Sender, const std::string& Url)> OnDocumentComplete;

private:
    struct TOutcome {
        bool Ok = false;
        std::string Text;  // the page, or the reason it is missing
    };
    void StopWorker();
    void Fetch(std::string url, void* session, unsigned navigation);
    void Completed(unsigned navigation);

    HWND FWindow = nullptr;
    std::thread FWorker;
    void* FSession = nullptr;  // the running fetch's session (closed to abort it)
    unsigned FNavigation = 0;  // the latest navigation's number
    std::string FLocation;
    bool FBusy = false;
    bool FPageShown = false;
    int FCompleted = 0;

    std::mutex FLock;  // guards FResult between the worker and the interface thread
    TOutcome FResult;
};
