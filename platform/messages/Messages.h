// Messages: per-thread message queues and hidden windows, the way the interface thread
// of this program hears about everything that happens elsewhere.
//
// A window is a handle bound to a window procedure (or a handler function) on the thread
// that created it. PostMessageA works from any thread: it queues the message on the
// window's thread and wakes that thread. Handles are never reused, so a message queued
// for a window that is destroyed before it is dispatched is dropped, never delivered to
// a later window. Timers post WM_TIMER to their window when due.
//
// Waiting never spins: WaitMessage blocks in poll() on the thread's wake descriptor (or,
// on the interface thread with a window backend installed, in the backend's own event
// wait, which watches the same descriptor), so an idle program uses no processor time.
#pragma once

#include "platform/rtl/WinTypes.h"

#include <cstdint>
#include <functional>
#include <string>

// ---- message types and constants ---------------------------------------------------------

using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);

constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_USER = 0x0400;

constexpr UINT PM_NOREMOVE = 0;
constexpr UINT PM_REMOVE = 1;

constexpr DWORD WS_POPUP = 0x80000000;
constexpr DWORD WS_EX_TOOLWINDOW = 0x00000080;

struct POINT { int32_t x = 0, y = 0; };

struct MSG {
    HWND hwnd = nullptr;
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    DWORD time = 0;
    POINT pt;
};

// The toolkit's message record, handed to handler functions.
struct TMessage {
    UINT Msg = 0;
    WPARAM WParam = 0;
    LPARAM LParam = 0;
    LRESULT Result = 0;
};

struct WNDCLASSA {
    UINT style = 0;
    WNDPROC lpfnWndProc = nullptr;
    int cbClsExtra = 0;
    int cbWndExtra = 0;  // bytes of window slots; each slot holds one LONG_PTR
    HINSTANCE hInstance = nullptr;
    void* hIcon = nullptr;
    void* hCursor = nullptr;
    void* hbrBackground = nullptr;
    const char* lpszMenuName = nullptr;
    const char* lpszClassName = nullptr;
};

// ---- window classes and windows -------------------------------------------------------

// Registers a class by name (process-wide). Returns 0 when the name is taken or empty.
uint16_t RegisterClassA(const WNDCLASSA* wndClass);
BOOL UnregisterClassA(const char* className, HINSTANCE instance);
BOOL GetClassInfoA(HINSTANCE instance, const char* className, WNDCLASSA* wndClass);
// Creates a hidden window of a registered class on the calling thread; null when the
// class is unknown.
HWND CreateWindowExA(DWORD exStyle, const char* className, const char* windowName, DWORD style,
                     int x, int y, int width, int height, HWND parent, void* menu,
                     HINSTANCE instance, void* param);
BOOL DestroyWindow(HWND wnd);
BOOL IsWindow(HWND wnd);
// Window slots: index is a byte offset in steps of sizeof(LONG_PTR) below cbWndExtra.
// SetWindowLongA returns the previous value.
LONG_PTR SetWindowLongA(HWND wnd, int index, LONG_PTR value);
LONG_PTR GetWindowLongA(HWND wnd, int index);
LRESULT DefWindowProcA(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);

// The toolkit's hidden-window allocation: a window whose messages go to Handler on the
// calling thread. DeallocateHWnd destroys it; messages still queued for it are dropped.
HWND AllocateHWnd(std::function<void(TMessage&)> handler);
void DeallocateHWnd(HWND wnd);

// ---- posting and dispatching ------------------------------------------------------------

// Queues a message for the window's thread and wakes it. Any thread. FALSE when the
// window does not exist (any more).
BOOL PostMessageA(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Calls the window procedure directly. Only from the window's own thread; returns 0 for a
// window that does not exist or belongs to another thread.
LRESULT SendMessageA(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Posts WM_QUIT to the calling thread's own queue.
void PostQuitMessage(int exitCode);
// Takes the first message of the calling thread's queue that matches the filter (wnd null:
// any window of the thread; min = max = 0: any number). Due timers are queued first.
BOOL PeekMessageA(MSG* msg, HWND wnd, UINT filterMin, UINT filterMax, UINT removeMsg);
// Blocks until a message arrives, then takes it; FALSE for WM_QUIT.
BOOL GetMessageA(MSG* msg, HWND wnd, UINT filterMin, UINT filterMax);
BOOL TranslateMessage(const MSG* msg);
LRESULT DispatchMessageA(const MSG* msg);

// ---- waiting --------------------------------------------------------------------------

// Blocks the calling thread until its queue holds a message, a timer of the thread is due,
// or (with a window backend) a window-system event was handled, or TimeoutMs passed.
// Returns at once when a message is already queued. TRUE when woken, FALSE on time-out.
BOOL WaitMessageTimeout(DWORD timeoutMs);
BOOL WaitMessage();
// Suspends the calling thread without touching its queue.
void Sleep(DWORD milliseconds);
// Milliseconds since an arbitrary start, monotonic.
DWORD GetTickCount();
uint64_t GetTickCount64();

// ---- timers ---------------------------------------------------------------------------

// Starts (or restarts) timer Id of the window: WM_TIMER with wParam = Id is queued every
// Elapse milliseconds, at most one pending at a time. Returns Id, 0 when the window is not
// the caller's.
UINT_PTR SetTimer(HWND wnd, UINT_PTR id, UINT elapse, void* timerFunc);
BOOL KillTimer(HWND wnd, UINT_PTR id);

// ---- the interface thread -------------------------------------------------------------

// True on the thread that started the program (the interface thread).
bool IsMainThread();

// Handles every queued message of the calling thread, and with a window backend every
// pending window-system event, then returns. Re-entrant. A WM_QUIT taken here sets the
// terminated flag instead of being dispatched.
void ProcessMessages();
bool ApplicationTerminated();
void SetApplicationTerminated(bool terminated);

// Runs Func on the interface thread and returns when it has run there. From the interface
// thread itself it runs at once. An exception thrown by Func is rethrown in the caller.
void Synchronize(const std::function<void()>& func);

// Pumps messages and waits until Done() is true or TimeoutMs passes (INFINITE: no bound).
// Returns Done()'s last value. Blocks between passes; never spins.
bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs = INFINITE);

// A window backend that owns the interface thread's event loop (FLTK). Installed on the
// interface thread; WaitEvents must return when WakeFd becomes readable or after
// TimeoutMs (negative: no bound); CheckEvents handles pending window events without
// waiting.
class TEventLoopBackend {
public:
    virtual ~TEventLoopBackend() = default;
    virtual void WaitEvents(int wakeFd, int timeoutMs) = 0;
    virtual void CheckEvents() = 0;
};
void SetEventLoopBackend(TEventLoopBackend* backend);
TEventLoopBackend* EventLoopBackend();
