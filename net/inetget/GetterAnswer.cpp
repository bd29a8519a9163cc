// GetterAnswer: answers from the internet library and from the worker's line (see
// GetterAnswer.h). The library's answer asks HttpQueryInfoA and InternetReadFile; the
// line's reads its head and body straight from the line.
#include "net/inetget/GetterAnswer.h"

#include "net/inetget/GetterReply.h"
#include "platform/rtl/SysUtils.h"
#include "platform/wininet/InetTls.h"

#include <vector>

using namespace getterreply;

namespace {

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

// "connect", "send" or "receive" for the option of the time-out that ran out.
const char* WaitName(DWORD expired) {
    return expired == INTERNET_OPTION_CONNECT_TIMEOUT ? "connect"
         : expired == INTERNET_OPTION_SEND_TIMEOUT    ? "send"
                                                      : "receive";
}

class TLibraryAnswer : public TGetterAnswer {
public:
    explicit TLibraryAnswer(HINTERNET request) : FRequest(request) {}
    int Status() const override {
        DWORD status = 0, len = sizeof status;
        if (!HttpQueryInfoA(FRequest, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &len, nullptr)) return 0;
        return int(status);
    }
    std::string StatusText() const override { return QueryText(FRequest, HTTP_QUERY_STATUS_TEXT); }
    std::string RawHead() const override { return QueryText(FRequest, HTTP_QUERY_RAW_HEADERS_CRLF); }
    bool ContentLength(std::string& value) const override {
        constexpr DWORD LengthBufferSize = 1024;
        std::vector<char> text(LengthBufferSize + 1, 0);
        DWORD len = LengthBufferSize;
        if (!HttpQueryInfoA(FRequest, HTTP_QUERY_CONTENT_LENGTH, text.data(), &len, nullptr)) return false;
        value.assign(text.data(), len);
        return true;
    }
    DWORD Read(char* dest, DWORD count, DWORD& got) override {
        got = 0;
        return InternetReadFile(FRequest, dest, count, &got) ? ERROR_SUCCESS : GetLastError();
    }
    std::string FailureText(DWORD) const override { return LibraryFailureText(FRequest); }

private:
    HINTERNET FRequest;
};

class TLineAnswer : public TGetterAnswer {
public:
    TLineAnswer(TServerLine& line, const inetwire::TTimeouts& limits) : FLine(line), FLimits(limits) {}
    int Status() const override { return FLine.Head().Status; }
    std::string StatusText() const override { return FLine.Head().StatusText; }
    std::string RawHead() const override { return FLine.Head().Raw; }
    bool ContentLength(std::string& value) const override { return FLine.Head().Find("Content-Length", 0, value); }
    DWORD Read(char* dest, DWORD count, DWORD& got) override {
        size_t n = 0;
        DWORD r = FLine.Read(dest, count, &n, FLimits.Receive);
        got = DWORD(n);
        return r;
    }
    std::string FailureText(DWORD error) const override { return LineFailureText(FLine, error, FLimits); }

private:
    TServerLine& FLine;
    inetwire::TTimeouts FLimits;
};

}  // namespace

std::unique_ptr<TGetterAnswer> LibraryAnswer(HINTERNET request) { return std::make_unique<TLibraryAnswer>(request); }

std::unique_ptr<TGetterAnswer> LineAnswer(TServerLine& line, const inetwire::TTimeouts& limits) {
    return std::make_unique<TLineAnswer>(line, limits);
}

std::string LibraryFailureText(HINTERNET request) {
    DWORD error = GetLastError();
    // A certificate not accepted, a handshake or a tunnel that failed: the library's text
    // names the host and the reason.
    char text[1024];
    DWORD textLength = sizeof text, ignored = 0;
    if (InternetGetLastResponseInfoA(&ignored, text, &textLength) && textLength > 0) return std::string(text, textLength);
    if (error != ERROR_INTERNET_TIMEOUT || !request) return InternetErrorText(error);
    DWORD expired = 0, ms = 0, len = sizeof expired;
    InternetQueryOptionA(request, INTERNET_OPTION_EXPIRED_TIMEOUT, &expired, &len);
    len = sizeof ms;
    if (expired) InternetQueryOptionA(request, expired, &ms, &len);
    return InternetErrorText(error, WaitName(expired), ms);
}

std::string LineFailureText(const TServerLine& line, DWORD error, const inetwire::TTimeouts& limits) {
    const std::string& failure = inetwire::LastFailureText();
    if (!failure.empty()) return failure;
    if (error != ERROR_INTERNET_TIMEOUT) return InternetErrorText(error);
    DWORD expired = line.ExpiredTimeout();
    DWORD ms = expired == INTERNET_OPTION_CONNECT_TIMEOUT ? limits.Connect
             : expired == INTERNET_OPTION_SEND_TIMEOUT    ? limits.Send
             : expired == INTERNET_OPTION_RECEIVE_TIMEOUT ? limits.Receive
                                                          : 0;
    return InternetErrorText(error, WaitName(expired), ms);
}
