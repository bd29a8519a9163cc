// SiteHttp: request parsing and response sending for the demo site (see SiteHttp.h).
#include "demo/SiteHttp.h"

#include "platform/rtl/SysUtils.h"

#include <algorithm>
#include <cstring>

// ---- requests -----------------------------------------------------------------------

std::string TSiteRequest::Header(const std::string& name) const {
    for (const auto& h : Headers)
        if (SameText(h.first, name)) return h.second;
    return std::string();
}

std::string TSiteRequest::Target() const { return Query.empty() ? Path : Path + "?" + Query; }

TRequestReader::TState TRequestReader::Fail(int status) {
    FErrorStatus = status;
    FState = rsError;
    return FState;
}

TRequestReader::TState TRequestReader::Feed(const char* data, size_t size, size_t* used) {
    size_t pos = 0;
    while (pos < size && FState == rsNeedMore && !FHeadDone) {
        const char* lf = static_cast<const char*>(memchr(data + pos, '\n', size - pos));
        size_t end = lf ? size_t(lf - data) : size;
        if (FPartialLine.size() + (end - pos) > MaxRequestLineBytes) {
            *used = size;
            return Fail(FSeenRequestLine ? 431 : 414);
        }
        FPartialLine.append(data + pos, end - pos);
        if (!lf) {
            pos = size;
            break;
        }
        pos = end + 1;
        std::string line;
        line.swap(FPartialLine);
        FeedLine(std::move(line));
    }
    if (FState == rsNeedMore && FHeadDone && pos < size) {
        size_t bodyUsed = 0;
        FeedBody(data + pos, size - pos, &bodyUsed);
        pos += bodyUsed;
    }
    *used = pos;
    return FState;
}

TRequestReader::TState TRequestReader::FeedLine(std::string line) {
    if (FState != rsNeedMore || FHeadDone) return FState;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (line.size() > MaxRequestLineBytes) return Fail(FSeenRequestLine ? 431 : 414);
    if (!FSeenRequestLine) {
        // Blank lines before a request line are tolerated, as most servers do.
        if (line.empty()) return FState;
        return ParseRequestLine(line);
    }
    if (line.empty()) return EndOfHead();
    return ParseHeaderLine(line);
}

TRequestReader::TState TRequestReader::ParseRequestLine(const std::string& line) {
    FSeenRequestLine = true;
    size_t sp1 = line.find(' ');
    size_t sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp1 == std::string::npos || sp1 == 0) return Fail(400);
    FRequest.Method = line.substr(0, sp1);
    std::string target = line.substr(sp1 + 1, sp2 == std::string::npos ? std::string::npos
                                                                       : sp2 - sp1 - 1);
    FRequest.Version = sp2 == std::string::npos ? "HTTP/0.9" : line.substr(sp2 + 1);
    // A proxy-style absolute address: keep only the path and query.
    if (StartsText("http://", target)) {
        size_t slash = target.find('/', 7);
        target = slash == std::string::npos ? "/" : target.substr(slash);
    }
    if (target.empty() || target[0] != '/') return Fail(400);
    size_t q = target.find('?');
    FRequest.Path = target.substr(0, q);
    FRequest.Query = q == std::string::npos ? std::string() : target.substr(q + 1);
    // A request without a version has no head.
    if (sp2 == std::string::npos) return EndOfHead();
    return FState;
}

TRequestReader::TState TRequestReader::ParseHeaderLine(const std::string& line) {
    if (FRequest.Headers.size() >= MaxHeaderCount) return Fail(431);
    size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0) return Fail(400);
    FRequest.Headers.emplace_back(Trim(line.substr(0, colon)), Trim(line.substr(colon + 1)));
    return FState;
}

TRequestReader::TState TRequestReader::EndOfHead() {
    FHeadDone = true;
    std::string length = FRequest.Header("Content-Length");
    if (!length.empty()) {
        int64_t n = StrToIntDef(length, -1);
        if (n < 0) return Fail(400);
        if (uint64_t(n) > MaxRequestBodyBytes) return Fail(413);
        FBodyWanted = size_t(n);
    }
    if (FBodyWanted == 0) FState = rsDone;
    return FState;
}

TRequestReader::TState TRequestReader::FeedBody(const char* data, size_t size, size_t* used) {
    *used = 0;
    if (FState != rsNeedMore || !FHeadDone) return FState;
    size_t take = std::min(size, BodyBytesMissing());
    FRequest.Body.append(data, take);
    *used = take;
    if (BodyBytesMissing() == 0) FState = rsDone;
    return FState;
}

// ---- responses ----------------------------------------------------------------------

std::string TSiteResponse::HeadBytes() const {
    std::string head = "HTTP/1.0 " + std::to_string(Status) + " " + Reason + "\r\n";
    for (const auto& h : Headers) head += h.first + ": " + h.second + "\r\n";
    head += "Content-Length: " + std::to_string(BodySize()) + "\r\n";
    head += "Connection: close\r\n\r\n";
    return head;
}

TSiteResponse MakeResponse(int status, const std::string& reason, const std::string& contentType,
                           std::string body) {
    TSiteResponse r;
    r.Status = status;
    r.Reason = reason;
    if (!contentType.empty()) r.Headers.emplace_back("Content-Type", contentType);
    r.Body = std::make_shared<const std::string>(std::move(body));
    return r;
}

const char* ReasonPhrase(int status) {
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    default: return "Error";
    }
}

TSiteResponse PlainErrorResponse(int status) {
    return MakeResponse(status, ReasonPhrase(status), "text/plain; charset=utf-8",
                        std::to_string(status) + " " + ReasonPhrase(status) + "\n");
}

TResponseSender::TResponseSender(const TSiteResponse& response)
    : FHead(response.HeadBytes()), FBody(response.Body) {
    size_t body = response.HeadOnly ? 0 : size_t(response.BodySize());
    if (response.CloseAfterBodyBytes >= 0 && size_t(response.CloseAfterBodyBytes) < body) {
        body = size_t(response.CloseAfterBodyBytes);
        FCutShort = true;
    }
    FLimit = FHead.size() + body;
    if (response.TrickleBytes > 0) {
        FPiece = size_t(response.TrickleBytes);
        FPieceLeft = FPiece;
        FDelay = std::max(0, response.TrickleDelayMs);
    }
}

std::pair<const char*, size_t> TResponseSender::Pending() const {
    if (Done() || !FPieceOpen) return {nullptr, 0};
    if (FOffset < FHead.size()) return {FHead.data() + FOffset, FHead.size() - FOffset};
    size_t bodyOffset = FOffset - FHead.size();
    size_t n = FLimit - FOffset;
    if (FPiece) n = std::min(n, FPieceLeft);
    return {FBody->data() + bodyOffset, n};
}

void TResponseSender::Advance(size_t sent) {
    size_t inBody = 0;
    if (FOffset >= FHead.size()) {
        inBody = sent;
    } else if (FOffset + sent > FHead.size()) {
        inBody = FOffset + sent - FHead.size();
    }
    FOffset = std::min(FLimit, FOffset + sent);
    if (!FPiece || inBody == 0) return;
    FPieceLeft -= std::min(FPieceLeft, inBody);
    if (FPieceLeft == 0 && !Done()) FPieceOpen = false;
}

void TResponseSender::OpenPiece() {
    FPieceOpen = true;
    FPieceLeft = FPiece;
}

std::string RequestLogLine(const TSiteRequest& request, const TSiteResponse& response) {
    std::string line = request.Method + " " + request.Target() + " " +
                       std::to_string(response.Status) + " " + std::to_string(response.BodySize());
    if (response.CloseAfterBodyBytes >= 0) line += " cut";
    if (response.TrickleBytes > 0) line += " trickle";
    return line;
}
