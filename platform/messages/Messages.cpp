// Messages: queues, windows, timers and waiting (see Messages.h).
//
// Organisation: one TThreadQueue per thread that uses messages (created on first use),
// holding its queued messages, its timers and an eventfd that PostMessageA writes to wake
// the thread. A process-wide table maps window handles to their records (procedure,
// handler, slots, owning queue). Handles count up and are never reused.
//
// Locking: the window table has one lock; each queue has its own. No lock is held while
// a window procedure runs, so handlers may post, create and destroy windows freely.
#include "Messages.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace {

struct TTimer {
    HWND Wnd;
    UINT_PTR Id;
    UINT Elapse;
    uint64_t Due;
    bool Pending;  // a WM_TIMER for it is queued and not yet taken
};

struct TThreadQueue {
    std::mutex Lock;
    std::deque<MSG> Queue;
    std::vector<TTimer> Timers;
    int WakeFd = -1;

    TThreadQueue() { WakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }
    ~TThreadQueue() {
        if (WakeFd >= 0) ::close(WakeFd);
    }
    void Wake() {
        uint64_t one = 1;
        ssize_t r = ::write(WakeFd, &one, sizeof one);
        (void)r;
    }
    void DrainWake() {
        uint64_t v;
        ssize_t r = ::read(WakeFd, &v, sizeof v);
        (void)r;
    }
};

struct TWindowRec {
    std::shared_ptr<TThreadQueue> Queue;
    std::thread::id Thread;
    WNDPROC Proc = nullptr;
    std::function<void(TMessage&)> Handler;
    std::vector<LONG_PTR> Slots;
};

struct TClassRec {
    WNDCLASSA Class;
    std::string Name;
};

std::mutex gWindowsLock;
std::unordered_map<uintptr_t, std::shared_ptr<TWindowRec>> gWindows;
std::map<std::string, TClassRec> gClasses;
uintptr_t gNextHandle = 0x100;

const std::thread::id gMainThreadId = std::this_thread::get_id();
std::atomic<bool> gTerminated{false};
TEventLoopBackend* gBackend = nullptr;

std::shared_ptr<TThreadQueue>& MainQueue() {
    static std::shared_ptr<TThreadQueue> q = std::make_shared<TThreadQueue>();
    return q;
}

thread_local std::shared_ptr<TThreadQueue> tlsQueue;

std::shared_ptr<TThreadQueue>& CurrentQueue() {
    if (!tlsQueue) tlsQueue = IsMainThread() ? MainQueue() : std::make_shared<TThreadQueue>();
    return tlsQueue;
}

uint64_t NowMs() {
    using namespace std::chrono;
    return uint64_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

std::shared_ptr<TWindowRec> FindWindow(HWND wnd) {
    std::lock_guard<std::mutex> guard(gWindowsLock);
    auto it = gWindows.find(reinterpret_cast<uintptr_t>(wnd));
    return it == gWindows.end() ? nullptr : it->second;
}

HWND InsertWindow(std::shared_ptr<TWindowRec> rec) {
    std::lock_guard<std::mutex> guard(gWindowsLock);
    uintptr_t h = gNextHandle++;
    gWindows.emplace(h, std::move(rec));
    return reinterpret_cast<HWND>(h);
}

// Queues WM_TIMER for every due timer that has none pending. Caller holds q.Lock.
void QueueDueTimers(TThreadQueue& q, uint64_t now) {
    for (TTimer& t : q.Timers) {
        if (t.Pending || t.Due > now) continue;
        t.Pending = true;
        MSG m;
        m.hwnd = t.Wnd;
        m.message = WM_TIMER;
        m.wParam = t.Id;
        m.time = DWORD(now);
        q.Queue.push_back(m);
    }
}

// Milliseconds until the next timer without a pending message; -1 when there is none.
int MsUntilNextTimer(TThreadQueue& q, uint64_t now) {
    int64_t best = -1;
    for (const TTimer& t : q.Timers) {
        if (t.Pending) continue;
        int64_t d = t.Due > now ? int64_t(t.Due - now) : 0;
        if (best < 0 || d < best) best = d;
    }
    return int(best);
}

// Re-arms a timer whose WM_TIMER was just taken. Caller holds q.Lock.
void TimerTaken(TThreadQueue& q, const MSG& m, uint64_t now) {
    for (TTimer& t : q.Timers)
        if (t.Wnd == m.hwnd && t.Id == m.wParam) {
            t.Pending = false;
            t.Due = now + t.Elapse;
        }
}

bool Matches(const MSG& m, HWND wnd, UINT fmin, UINT fmax) {
    if (wnd && m.hwnd != wnd) return false;
    if (fmin == 0 && fmax == 0) return true;
    return m.message >= fmin && m.message <= fmax;
}

// ---- synchronise -----------------------------------------------------------------------

struct TSyncRequest {
    const std::function<void()>* Func;
    std::mutex Lock;
    std::condition_variable Done;
    bool Finished = false;
    std::exception_ptr Error;
};

constexpr UINT CM_SYNCHRONIZE = WM_USER + 0x7F00;

LRESULT SyncWindowProc(HWND, UINT msg, WPARAM, LPARAM lParam) {
    if (msg != CM_SYNCHRONIZE) return 0;
    auto* req = reinterpret_cast<TSyncRequest*>(lParam);
    try {
        (*req->Func)();
    } catch (...) {
        req->Error = std::current_exception();
    }
    std::lock_guard<std::mutex> guard(req->Lock);
    req->Finished = true;
    req->Done.notify_all();
    return 0;
}

// A window of the interface thread that runs synchronised calls; made on first use.
HWND SyncWindow() {
    static HWND wnd = [] {
        auto rec = std::make_shared<TWindowRec>();
        rec->Queue = MainQueue();
        rec->Thread = gMainThreadId;
        rec->Proc = SyncWindowProc;
        return InsertWindow(rec);
    }();
    return wnd;
}

}  // namespace

// ==== window classes and windows =========================================================

uint16_t RegisterClassA(const WNDCLASSA* wndClass) {
    if (!wndClass || !wndClass->lpszClassName || !*wndClass->lpszClassName) return 0;
    std::lock_guard<std::mutex> guard(gWindowsLock);
    std::string name = wndClass->lpszClassName;
    if (gClasses.count(name)) return 0;
    TClassRec rec{*wndClass, name};
    rec.Class.lpszClassName = nullptr;
    gClasses.emplace(name, rec);
    return uint16_t(gClasses.size());
}

BOOL UnregisterClassA(const char* className, HINSTANCE) {
    std::lock_guard<std::mutex> guard(gWindowsLock);
    return className && gClasses.erase(className) ? TRUE : FALSE;
}

BOOL GetClassInfoA(HINSTANCE, const char* className, WNDCLASSA* wndClass) {
    std::lock_guard<std::mutex> guard(gWindowsLock);
    auto it = className ? gClasses.find(className) : gClasses.end();
    if (it == gClasses.end()) return FALSE;
    if (wndClass) {
        *wndClass = it->second.Class;
        wndClass->lpszClassName = it->first.c_str();
    }
    return TRUE;
}

HWND CreateWindowExA(DWORD, const char* className, const char*, DWORD, int, int, int, int, HWND,
                     void*, HINSTANCE, void*) {
    WNDCLASSA cls;
    if (!GetClassInfoA(nullptr, className, &cls)) return nullptr;
    auto rec = std::make_shared<TWindowRec>();
    rec->Queue = CurrentQueue();
    rec->Thread = std::this_thread::get_id();
    rec->Proc = cls.lpfnWndProc;
    rec->Slots.assign(size_t(std::max(0, cls.cbWndExtra)) / sizeof(LONG_PTR) + 1, 0);
    return InsertWindow(rec);
}

BOOL DestroyWindow(HWND wnd) {
    std::shared_ptr<TWindowRec> rec;
    {
        std::lock_guard<std::mutex> guard(gWindowsLock);
        auto it = gWindows.find(reinterpret_cast<uintptr_t>(wnd));
        if (it == gWindows.end()) return FALSE;
        rec = it->second;
        gWindows.erase(it);
    }
    std::lock_guard<std::mutex> guard(rec->Queue->Lock);
    auto& timers = rec->Queue->Timers;
    timers.erase(std::remove_if(timers.begin(), timers.end(), [&](const TTimer& t) { return t.Wnd == wnd; }),
                 timers.end());
    auto& queue = rec->Queue->Queue;
    queue.erase(std::remove_if(queue.begin(), queue.end(), [&](const MSG& m) { return m.hwnd == wnd; }),
                queue.end());
    return TRUE;
}

BOOL IsWindow(HWND wnd) { return FindWindow(wnd) ? TRUE : FALSE; }

LONG_PTR SetWindowLongA(HWND wnd, int index, LONG_PTR value) {
    std::lock_guard<std::mutex> guard(gWindowsLock);
    auto it = gWindows.find(reinterpret_cast<uintptr_t>(wnd));
    size_t slot = size_t(index) / sizeof(LONG_PTR);
    if (it == gWindows.end() || index < 0 || slot >= it->second->Slots.size()) return 0;
    LONG_PTR old = it->second->Slots[slot];
    it->second->Slots[slot] = value;
    return old;
}

LONG_PTR GetWindowLongA(HWND wnd, int index) {
    std::lock_guard<std::mutex> guard(gWindowsLock);
    auto it = gWindows.find(reinterpret_cast<uintptr_t>(wnd));
    size_t slot = size_t(index) / sizeof(LONG_PTR);
    if (it == gWindows.end() || index < 0 || slot >= it->second->Slots.size()) return 0;
    return it->second->Slots[slot];
}

LRESULT DefWindowProcA(HWND, UINT, WPARAM, LPARAM) { return 0; }

HWND AllocateHWnd(std::function<void(TMessage&)> handler) {
    auto rec = std::make_shared<TWindowRec>();
    rec->Queue = CurrentQueue();
    rec->Thread = std::this_thread::get_id();
    rec->Handler = std::move(handler);
    rec->Slots.assign(1, 0);
    return InsertWindow(rec);
}

void DeallocateHWnd(HWND wnd) { DestroyWindow(wnd); }

// ==== posting and dispatching =============================================================

BOOL PostMessageA(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    std::shared_ptr<TWindowRec> rec = FindWindow(wnd);
    if (!rec) return FALSE;
    MSG m;
    m.hwnd = wnd;
    m.message = msg;
    m.wParam = wParam;
    m.lParam = lParam;
    m.time = GetTickCount();
    {
        std::lock_guard<std::mutex> guard(rec->Queue->Lock);
        rec->Queue->Queue.push_back(m);
    }
    rec->Queue->Wake();
    return TRUE;
}

static LRESULT CallWindow(const std::shared_ptr<TWindowRec>& rec, HWND wnd, UINT msg, WPARAM wParam,
                          LPARAM lParam) {
    if (rec->Proc) return rec->Proc(wnd, msg, wParam, lParam);
    if (rec->Handler) {
        TMessage m;
        m.Msg = msg;
        m.WParam = wParam;
        m.LParam = lParam;
        rec->Handler(m);
        return m.Result;
    }
    return DefWindowProcA(wnd, msg, wParam, lParam);
}

LRESULT SendMessageA(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    std::shared_ptr<TWindowRec> rec = FindWindow(wnd);
    if (!rec || rec->Thread != std::this_thread::get_id()) return 0;
    return CallWindow(rec, wnd, msg, wParam, lParam);
}

void PostQuitMessage(int exitCode) {
    auto& q = CurrentQueue();
    MSG m;
    m.message = WM_QUIT;
    m.wParam = WPARAM(exitCode);
    {
        std::lock_guard<std::mutex> guard(q->Lock);
        q->Queue.push_back(m);
    }
    q->Wake();
}

BOOL PeekMessageA(MSG* msg, HWND wnd, UINT filterMin, UINT filterMax, UINT removeMsg) {
    auto& q = CurrentQueue();
    std::lock_guard<std::mutex> guard(q->Lock);
    uint64_t now = NowMs();
    QueueDueTimers(*q, now);
    for (auto it = q->Queue.begin(); it != q->Queue.end(); ++it) {
        if (!Matches(*it, wnd, filterMin, filterMax)) continue;
        if (msg) *msg = *it;
        if (removeMsg & PM_REMOVE) {
            if (it->message == WM_TIMER) TimerTaken(*q, *it, now);
            q->Queue.erase(it);
        }
        return TRUE;
    }
    return FALSE;
}

BOOL GetMessageA(MSG* msg, HWND wnd, UINT filterMin, UINT filterMax) {
    MSG m;
    while (!PeekMessageA(&m, wnd, filterMin, filterMax, PM_REMOVE)) WaitMessage();
    if (msg) *msg = m;
    return m.message == WM_QUIT ? FALSE : TRUE;
}

BOOL TranslateMessage(const MSG*) { return FALSE; }

LRESULT DispatchMessageA(const MSG* msg) {
    if (!msg || !msg->hwnd) return 0;
    std::shared_ptr<TWindowRec> rec = FindWindow(msg->hwnd);
    if (!rec) return 0;  // destroyed after the message was taken
    return CallWindow(rec, msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

// ==== waiting ==============================================================================

BOOL WaitMessageTimeout(DWORD timeoutMs) {
    auto& q = CurrentQueue();
    int wait;
    {
        std::lock_guard<std::mutex> guard(q->Lock);
        uint64_t now = NowMs();
        QueueDueTimers(*q, now);
        if (!q->Queue.empty()) return TRUE;
        wait = MsUntilNextTimer(*q, now);
    }
    if (timeoutMs != INFINITE && (wait < 0 || DWORD(wait) > timeoutMs)) wait = int(timeoutMs);
    if (gBackend && IsMainThread()) {
        gBackend->WaitEvents(q->WakeFd, wait);
        q->DrainWake();
        return TRUE;
    }
    pollfd p{q->WakeFd, POLLIN, 0};
    int r;
    do {
        r = ::poll(&p, 1, wait);
    } while (r < 0 && errno == EINTR);
    q->DrainWake();
    std::lock_guard<std::mutex> guard(q->Lock);
    QueueDueTimers(*q, NowMs());
    return q->Queue.empty() ? FALSE : TRUE;
}

BOOL WaitMessage() { return WaitMessageTimeout(INFINITE); }

void Sleep(DWORD milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

DWORD GetTickCount() { return DWORD(NowMs()); }
uint64_t GetTickCount64() { return NowMs(); }

// ==== timers ===============================================================================

UINT_PTR SetTimer(HWND wnd, UINT_PTR id, UINT elapse, void*) {
    std::shared_ptr<TWindowRec> rec = FindWindow(wnd);
    if (!rec || rec->Thread != std::this_thread::get_id()) return 0;
    if (elapse == 0) elapse = 1;
    auto& q = rec->Queue;
    std::lock_guard<std::mutex> guard(q->Lock);
    uint64_t due = NowMs() + elapse;
    for (TTimer& t : q->Timers)
        if (t.Wnd == wnd && t.Id == id) {
            t.Elapse = elapse;
            t.Due = due;
            return id;
        }
    q->Timers.push_back(TTimer{wnd, id, elapse, due, false});
    return id;
}

BOOL KillTimer(HWND wnd, UINT_PTR id) {
    auto& q = CurrentQueue();
    std::lock_guard<std::mutex> guard(q->Lock);
    auto& timers = q->Timers;
    auto before = timers.size();
    timers.erase(std::remove_if(timers.begin(), timers.end(),
                                [&](const TTimer& t) { return t.Wnd == wnd && t.Id == id; }),
                 timers.end());
    // A WM_TIMER already queued for it is withdrawn too: a stopped timer does not tick.
    auto& queue = q->Queue;
    queue.erase(std::remove_if(queue.begin(), queue.end(),
                               [&](const MSG& m) { return m.hwnd == wnd && m.message == WM_TIMER && m.wParam == id; }),
                queue.end());
    return timers.size() != before ? TRUE : FALSE;
}

// ==== the interface thread =================================================================

bool IsMainThread() { return std::this_thread::get_id() == gMainThreadId; }

void ProcessMessages() {
    if (gBackend && IsMainThread()) gBackend->CheckEvents();
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
        if (m.message == WM_QUIT) {
            gTerminated = true;
            continue;
        }
        TranslateMessage(&m);
        DispatchMessageA(&m);
    }
}

bool ApplicationTerminated() { return gTerminated; }
void SetApplicationTerminated(bool terminated) { gTerminated = terminated; }

void Synchronize(const std::function<void()>& func) {
    if (IsMainThread()) {
        func();
        return;
    }
    TSyncRequest req;
    req.Func = &func;
    PostMessageA(SyncWindow(), CM_SYNCHRONIZE, 0, reinterpret_cast<LPARAM>(&req));
    std::unique_lock<std::mutex> lock(req.Lock);
    req.Done.wait(lock, [&] { return req.Finished; });
    if (req.Error) std::rethrow_exception(req.Error);
}

bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    uint64_t deadline = timeoutMs == INFINITE ? 0 : NowMs() + timeoutMs;
    for (;;) {
        ProcessMessages();
        if (done()) return true;
        DWORD wait = INFINITE;
        if (timeoutMs != INFINITE) {
            uint64_t now = NowMs();
            if (now >= deadline) return done();
            wait = DWORD(deadline - now);
        }
        WaitMessageTimeout(wait);
    }
}

void SetEventLoopBackend(TEventLoopBackend* backend) { gBackend = backend; }
TEventLoopBackend* EventLoopBackend() { return gBackend; }
