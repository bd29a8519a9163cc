// What the client tests share: running a synchronous request and keeping what it raised,
// and a one-shot timer that acts while Get pumps messages.
#pragma once

#include "net/http/HttpProt.h"

#include <chrono>
#include <functional>
#include <string>
#include <utility>

// Runs Get; the code and message of its EHttpException (0 and "" when none).
inline std::pair<int, std::string> TryGet(THttpCli& cli) {
    try {
        cli.Get();
    } catch (const EHttpException& e) {
        return {e.ErrorCode(), e.Message()};
    }
    return {0, ""};
}

// A hidden window whose timer runs Fire once, DelayMs after Start.
class TOneShot {
public:
    explicit TOneShot(std::function<void()> fire) : FFire(std::move(fire)) {
        FWindow = AllocateHWnd([this](TMessage& m) {
            if (m.Msg != WM_TIMER) return;
            KillTimer(FWindow, 1);
            Fired = std::chrono::steady_clock::now();
            FFire();
        });
    }
    ~TOneShot() { DeallocateHWnd(FWindow); }
    TOneShot(const TOneShot&) = delete;
    TOneShot& operator=(const TOneShot&) = delete;
    void Start(UINT delayMs) { SetTimer(FWindow, 1, delayMs, nullptr); }
    std::chrono::steady_clock::time_point Fired{};

private:
    std::function<void()> FFire;
    HWND FWindow = nullptr;
};
