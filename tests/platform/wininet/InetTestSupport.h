// InetTestSupport: what the internet library's tests share: a handle owner, and one
// request sent and its body read to the end (or the first failure).
#pragma once

#include "platform/wininet/WinInet.h"

#include <cstring>
#include <string>

// Owns a handle for the length of a test.
struct THandleGuard {
    HINTERNET H;
    explicit THandleGuard(HINTERNET h) : H(h) {}
    ~THandleGuard() {
        if (H) InternetCloseHandle(H);
    }
    THandleGuard(const THandleGuard&) = delete;
    THandleGuard& operator=(const THandleGuard&) = delete;
    operator HINTERNET() const { return H; }
};

// What one request gave.
struct TOutcome {
    BOOL Sent = FALSE;
    DWORD SendError = 0;
    DWORD Status = 0;
    std::string Body;
    DWORD ReadError = 0;  // 0: the body ended properly
};

// Sends Request (with Post as a form body when not empty), then reads its body in small
// blocks until it ends or a read fails.
inline TOutcome SendAndRead(HINTERNET request, const std::string& post) {
    TOutcome out;
    const char* form = "Content-Type: application/x-www-form-urlencoded";
    bool hasBody = !post.empty();
    out.Sent = HttpSendRequestA(request, hasBody ? form : nullptr, hasBody ? DWORD(std::strlen(form)) : 0,
                                hasBody ? const_cast<char*>(post.data()) : nullptr, DWORD(post.size()));
    if (!out.Sent) {
        out.SendError = GetLastError();
        return out;
    }
    DWORD len = sizeof out.Status;
    HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &out.Status, &len, nullptr);
    for (;;) {
        char buf[7];
        DWORD got = 0;
        if (!InternetReadFile(request, buf, sizeof buf, &got)) {
            out.ReadError = GetLastError();
            break;
        }
        if (got == 0) break;
        out.Body.append(buf, got);
    }
    return out;
}

inline std::string Server(int port) { return "127.0.0.1:" + std::to_string(port); }
