// WSocketLine: line mode (TCustomLineWSocket) and synchronous waiting (TCustomSyncWSocket).
//
// In line mode received bytes collect in FRcvdBuf; each complete line (up to and
// including LineEnd) is offered to OnDataAvailable, with RcvdCount() and Receive serving
// exactly that line. Invariant: while a line is being delivered it sits at the front of
// FRcvdBuf and FLineLength counts its unread bytes; every read the line layer serves is
// removed from the front, so the bytes behind the line always follow it directly.
//
// Progress guards: a handler call that takes nothing of a pending line (or no handler)
// drops that line, so delivery never calls a handler forever; re-delivery after a
// LineMode change stops as soon as a pass consumes nothing. With LineLimit > 0 the buffer
// never holds more than twice the limit, even when OnLineLimitExceeded keeps the bytes.
#include "net/socket/WSocket.h"
#include "net/socket/WSocketBinding.h"

#include <algorithm>
#include <cstring>

// ==== TCustomLineWSocket ======================================================================

TCustomLineWSocket::TCustomLineWSocket(TComponent* AOwner) : TCustomSocksWSocket(AOwner) {
    FLineEnd = "\r\n";
    FLineMode = false;
    FLineLimit = 65536;
}

TCustomLineWSocket::~TCustomLineWSocket() { FreeRcvBuf(); }

void TCustomLineWSocket::FreeRcvBuf() {
    std::string().swap(FRcvdBuf);
    FLineLength = 0;
}

void TCustomLineWSocket::SetLineMode(bool value) {
    if (value == FLineMode) return;
    FLineMode = value;
    if (!FRcvdBuf.empty() || FLineLength > 0) PostMessageA(FWindowHandle, WM_SOCKET_LINE_DATA, 0, 0);
}

int32_t TCustomLineWSocket::RcvdCount() {
    if (FLineMode) return FLineLength;
    return TCustomSocksWSocket::RcvdCount();
}

void TCustomLineWSocket::WndProc(TMessage& msg) {
    if (msg.Msg != WM_SOCKET_LINE_DATA) {
        TCustomSocksWSocket::WndProc(msg);
        return;
    }
    Guarded([&] {
        try {
            ReDeliver();
        } catch (Exception& e) {
            HandleBgException(e);
        } catch (std::exception& e) {
            Exception wrapped(e.what());
            HandleBgException(wrapped);
        }
    });
}

int32_t TCustomLineWSocket::RawReceive(void* buffer, int32_t size, int flags) {
    if (FLineMode && FLineLength > 0) {
        int32_t n = std::min(size, FLineLength);
        std::memcpy(buffer, FRcvdBuf.data(), size_t(n));
        FRcvdBuf.erase(0, size_t(n));
        FLineLength -= n;
        return n;
    }
    if (!FLineMode && !FRcvdBuf.empty()) {
        int32_t n = std::min(size, int32_t(FRcvdBuf.size()));
        std::memcpy(buffer, FRcvdBuf.data(), size_t(n));
        FRcvdBuf.erase(0, size_t(n));
        return n;
    }
    return TCustomSocksWSocket::RawReceive(buffer, size, flags);
}

bool TCustomLineWSocket::DoDataAvailable(uint16_t error) {
    if (!FLineMode || FLineEnd.empty() || FSocksState != SocksIdle)
        return TCustomSocksWSocket::DoDataAvailable(error);
    int32_t n = TCustomSocksWSocket::RcvdCount();
    if (n < 0) return true;
    if (n == 0) n = 255;
    size_t old = FRcvdBuf.size();
    FRcvdBuf.resize(old + size_t(n));
    // Read from the socket itself: a line still pending must not be served into the tail.
    int32_t got = TCustomSocksWSocket::RawReceive(&FRcvdBuf[old], n, 0);
    if (got < 0)
        FLastError = WS(WSAGetLastError)();
    else
        FReadCount += got;
    FRcvdBuf.resize(old + size_t(std::max(got, 0)));
    if (got <= 0) return true;
    int32_t count = got;
    if (FLineEdit)
        EditLine(count);
    else if (FLineEcho)
        Send(FRcvdBuf.data() + old, got);
    if (FRcvdBuf.size() < size_t(count)) return true;  // the echo closed the connection
    old = FRcvdBuf.size() - size_t(count);
    // Start just before the new bytes, so a terminator split over two reads is found.
    size_t searchFrom = old > FLineEnd.size() ? old - FLineEnd.size() : 0;
    DeliverLines(int32_t(searchFrom));
    return true;
}

// Offers each complete line to the handler, then applies LineLimit to what is left.
void TCustomLineWSocket::DeliverLines(int32_t searchFrom) {
    auto life = FLife;
    while (FLineMode && !FLineEnd.empty()) {
        size_t pos = FRcvdBuf.find(FLineEnd, size_t(searchFrom));
        if (pos == std::string::npos) break;
        FLineLength = int32_t(pos + FLineEnd.size());
        FLineReceivedFlag = true;
        while (FLineMode && FLineLength > 0) {
            int32_t before = FLineLength;
            bool taken = TCustomSocksWSocket::DoDataAvailable(0);
            if (FLineLength > 0 && (!taken || (FLineMode && FLineLength == before))) {
                // No handler, or one that read nothing: the line is dropped.
                FRcvdBuf.erase(0, std::min(FRcvdBuf.size(), size_t(FLineLength)));
                FLineLength = 0;
            }
        }
        // Line mode switched off mid-line: the unread rest is served raw from the front.
        FLineLength = 0;
        searchFrom = 0;
    }
    if (FLineMode && FLineLimit > 0 && int32_t(FRcvdBuf.size()) > FLineLimit) {
        FLineClearData = true;
        DoLineLimitExceeded(int32_t(FRcvdBuf.size()), FLineClearData);
        if (FLineClearData || int64_t(FRcvdBuf.size()) > 2 * int64_t(FLineLimit)) {
            FRcvdBuf.clear();
            FLineLength = 0;
        }
        FLineClearData = false;
    }
}

// Re-delivery after a LineMode change. Each pass must consume buffered bytes; a pass
// that takes nothing ends it.
void TCustomLineWSocket::ReDeliver() {
    while (!FRcvdBuf.empty()) {
        size_t before = FRcvdBuf.size();
        if (FLineMode) {
            FLineLength = 0;
            DeliverLines(0);
        } else {
            DoDataAvailable(0);
        }
        if (FRcvdBuf.size() >= before) break;
    }
}

void TCustomLineWSocket::DoLineLimitExceeded(int32_t rcvdLength, bool& clearData) {
    if (!OnLineLimitExceeded) return;
    auto life = FLife;
    auto handler = OnLineLimitExceeded;
    handler(this, rcvdLength, clearData);
    CheckAlive(life);
}

// Terminal-style editing of the Len bytes just received: backspace removes the byte
// before it, tab expands to the next multiple of 8; with LineEcho the peer's terminal is
// kept in step. Afterwards Len counts the bytes from the earliest edited position on.
void TCustomLineWSocket::EditLine(int32_t& len) {
    size_t old = FRcvdBuf.size() - size_t(len);
    std::string out;
    bool copying = false;
    size_t low = old;
    for (size_t p = old; p < old + size_t(len); ++p) {
        if (p >= FRcvdBuf.size()) return;  // an echo closed the connection
        char c = FRcvdBuf[p];
        if ((c == 8 || c == 9) && !copying) {
            copying = true;
            out.assign(FRcvdBuf, 0, p);
        }
        size_t o = copying ? out.size() : p;
        if (c == 8) {
            if (FLineEcho && o > 0) SendStr(std::string("\b \b", 3));
            if (o > 0) {
                out.pop_back();
                low = std::min(low, out.size());
            }
        } else if (c == 9) {
            do {
                out += ' ';
                if (FLineEcho) SendStr(" ");
            } while (out.size() % 8 != 0);
        } else {
            if (FLineEcho) Send(&c, 1);
            if (copying) out += c;
        }
    }
    if (!copying) return;
    FRcvdBuf = out;
    len = int32_t(out.size() - low);
}

void TCustomLineWSocket::DoSessionClosed(uint16_t error) {
    FLineReceivedFlag = true;
    if (FLineMode && !FRcvdBuf.empty() && !FLineClearData) {
        // What is left without a terminator is the last line.
        FLineLength = int32_t(FRcvdBuf.size());
        while (FLineMode && FLineLength > 0) {
            int32_t before = FLineLength;
            bool taken = TCustomSocksWSocket::DoDataAvailable(0);
            if (FLineLength > 0 && (!taken || FLineLength == before)) FLineLength = 0;
        }
    }
    FreeRcvBuf();
    TCustomSocksWSocket::DoSessionClosed(error);
}

// ==== TCustomSyncWSocket ======================================================================

int32_t TCustomSyncWSocket::WaitForFlag(bool& flag) {
    return Guarded([&]() -> int32_t {
        FTimeStop = GetTickCount() + DWORD(FTimeout);
        while (!flag) {
            if (FTimeout > 0 && int32_t(GetTickCount() - FTimeStop) >= 0) return 12001;
            if (ApplicationTerminated() || FTerminated) return 12001;
            PumpMessages();
            if (flag) break;
            DWORD wait = INFINITE;
            if (FTimeout > 0) {
                int32_t left = int32_t(FTimeStop - GetTickCount());
                wait = left > 0 ? DWORD(left) : 0;
            }
            WaitMessageTimeout(wait);
        }
        return 0;
    });
}

int32_t TCustomSyncWSocket::RunAndWait(const std::function<void()>& proc, bool& flag) {
    flag = false;
    if (proc) proc();
    return WaitForFlag(flag);
}
