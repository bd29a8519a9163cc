// Message platform: posting across threads, dropped messages, timers, synchronise,
// bounded waits and an idle loop that uses no processor time.
#include "platform/messages/Messages.h"
#include "platform/rtl/SysUtils.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <thread>
#include <vector>

namespace {

double ProcessCpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

struct TRecorder {
    std::vector<UINT> Seen;
    HWND Wnd = AllocateHWnd([this](TMessage& m) { Seen.push_back(m.Msg); });
    ~TRecorder() { DeallocateHWnd(Wnd); }
};

}  // namespace

TEST(Messages, PostFromAnotherThreadWakesWaitingLoop) {
    TRecorder r;
    uint64_t start = GetTickCount64();
    std::thread t([&] {
        Sleep(50);
        PostMessageA(r.Wnd, WM_USER + 7, 1, 2);
    });
    EXPECT_TRUE(WaitUntil([&] { return !r.Seen.empty(); }, 5000));
    t.join();
    EXPECT_EQ(r.Seen, std::vector<UINT>{WM_USER + 7});
    EXPECT_LT(GetTickCount64() - start, 2000u);
}

TEST(Messages, MessagesKeepOrderAndReachOnlyLiveWindows) {
    TRecorder a;
    HWND gone = AllocateHWnd([](TMessage&) { FAIL() << "message reached a destroyed window"; });
    PostMessageA(a.Wnd, WM_USER + 1, 0, 0);
    PostMessageA(gone, WM_USER + 2, 0, 0);
    PostMessageA(a.Wnd, WM_USER + 3, 0, 0);
    DeallocateHWnd(gone);
    EXPECT_EQ(PostMessageA(gone, WM_USER + 4, 0, 0), FALSE);
    ProcessMessages();
    EXPECT_EQ(a.Seen, (std::vector<UINT>{WM_USER + 1, WM_USER + 3}));
    // A new window never takes an old handle.
    HWND fresh = AllocateHWnd([](TMessage&) {});
    EXPECT_NE(fresh, gone);
    DeallocateHWnd(fresh);
}

TEST(Messages, WindowClassSlotsAndProcedure) {
    static int calls = 0;
    WNDCLASSA cls;
    cls.cbWndExtra = 4;
    cls.lpszClassName = "TestMsgClass";
    cls.lpfnWndProc = [](HWND w, UINT m, WPARAM, LPARAM) -> LRESULT {
        calls += int(GetWindowLongA(w, 0)) + int(m == WM_USER ? 100 : 0);
        return 42;
    };
    ASSERT_NE(RegisterClassA(&cls), 0);
    EXPECT_EQ(RegisterClassA(&cls), 0) << "second registration of one name";
    WNDCLASSA found;
    ASSERT_TRUE(GetClassInfoA(nullptr, "TestMsgClass", &found));
    EXPECT_EQ(found.lpfnWndProc, cls.lpfnWndProc);
    HWND w = CreateWindowExA(WS_EX_TOOLWINDOW, "TestMsgClass", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                             nullptr, nullptr);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(SetWindowLongA(w, 0, 5), 0);
    EXPECT_EQ(SendMessageA(w, WM_USER, 0, 0), 42);
    EXPECT_EQ(calls, 105);
    EXPECT_TRUE(DestroyWindow(w));
    EXPECT_FALSE(IsWindow(w));
    EXPECT_EQ(CreateWindowExA(0, "NoSuchClass", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr), nullptr);
}

TEST(Messages, TimersFireInOrderAndStop) {
    std::vector<WPARAM> ticks;
    HWND w = AllocateHWnd([&](TMessage& m) {
        if (m.Msg == WM_TIMER) ticks.push_back(m.WParam);
    });
    SetTimer(w, 1, 30, nullptr);
    SetTimer(w, 2, 75, nullptr);
    WaitUntil([&] { return ticks.size() >= 3; }, 5000);
    ASSERT_GE(ticks.size(), 3u);
    EXPECT_EQ(ticks[0], 1u);
    EXPECT_EQ(ticks[1], 1u);
    EXPECT_EQ(ticks[2], 2u);
    KillTimer(w, 1);
    KillTimer(w, 2);
    size_t n = ticks.size();
    WaitUntil([] { return false; }, 150);
    EXPECT_EQ(ticks.size(), n) << "a killed timer ticked";
    DeallocateHWnd(w);
}

TEST(Messages, SynchronizeRunsOnInterfaceThreadAndCarriesErrors) {
    std::atomic<bool> ranOnMain{false}, caught{false}, finished{false};
    TRecorder r;
    std::thread worker([&] {
        EXPECT_FALSE(IsMainThread());
        Synchronize([&] { ranOnMain = IsMainThread(); });
        try {
            Synchronize([] { throw Exception("boom"); });
        } catch (const Exception& e) {
            caught = e.Message() == "boom";
        }
        finished = true;
        PostMessageA(r.Wnd, WM_USER, 0, 0);
    });
    EXPECT_TRUE(WaitUntil([&] { return finished.load(); }, 5000));
    worker.join();
    EXPECT_TRUE(ranOnMain);
    EXPECT_TRUE(caught);
}

TEST(Messages, WaitWithTimeoutReturnsOnTime) {
    uint64_t start = GetTickCount64();
    EXPECT_FALSE(WaitMessageTimeout(100));
    EXPECT_FALSE(WaitUntil([] { return false; }, 200));
    uint64_t took = GetTickCount64() - start;
    EXPECT_GE(took, 200u);
    EXPECT_LT(took, 1500u);
}

TEST(Messages, IdleLoopUsesAlmostNoCpu) {
    double before = ProcessCpuSeconds();
    WaitUntil([] { return false; }, 1000);
    EXPECT_LT(ProcessCpuSeconds() - before, 0.05);
}

TEST(Messages, QuitSetsTerminatedWithoutDispatch) {
    SetApplicationTerminated(false);
    PostQuitMessage(0);
    ProcessMessages();
    EXPECT_TRUE(ApplicationTerminated());
    SetApplicationTerminated(false);
}
