// SiteHttp: request parsing and response sending for the demo site (see SiteHttp.h).
#include "demo/SiteHttp.h"

#include "platform/httpwire/HttpWire.h"
#include "platform/rtl/SysUtils.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

// ---- requests -----------------------------------------------------------------------

std::string TSiteRequest::Header(const std::string& name) const {
    for (const auto& h : Headers)
        if (SameText(h.first, name)) return h.second;
    return std::string();
}

std::string TSiteRequest::Target() const { return Query.empty() ? Path : Path + "?" + Query; }

namespace {

// "HTTP/" digit "." digit.
bool IsHttpVersion(const std::string& v) {
    return v.size() == 8 && v.compare(0, 5, "HTTP/") == 0 && isdigit((unsigned char)v[5]) &&
           v[6] == '.' && isdigit((unsigned char)v[7]);
}

}  // namespace

bool RequestKeepsAlive(const TSiteRequest& request) {
    const std::string connection = request.Header("Connection");
    if (httpwire::ListHasToken(connection, "close")) return false;
    if (request.Version == "HTTP/1.1") return true;
    return request.Version == "HTTP/1.0" && httpwire::ListHasToken(connection, "keep-alive");
}

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
    // A blank inside the target leaves junk where the version belongs.
    if (!IsHttpVersion(FRequest.Version)) return Fail(400);
    if (FRequest.Version.compare(0, 7, "HTTP/1.") != 0 && sp2 != std::string::npos) return Fail(505);
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
    // A chunked request body is not read; its bytes would be taken for the next request.
    if (!FRequest.Header("Transfer-Encoding").empty()) return Fail(501);
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

int64_t TSiteResponse::BodySize() const {
    if (!Body || BodyStart >= Body->size()) return 0;
    return int64_t(Body->size() - BodyStart);
}

bool TSiteResponse::CanKeepAlive() const {
    return Framing != TBodyFraming::Close && !Endless() && StallAfterBodyBytes < 0 &&
           (CloseAfterBodyBytes < 0 || CloseAfterBodyBytes >= BodySize() || HeadOnly);
}

std::string TSiteResponse::HeadBytes(const std::string& connection) const {
    std::string head = "HTTP/1.1 " + std::to_string(Status) + " " + Reason + "\r\n";
    for (const auto& h : Headers) head += h.first + ": " + h.second + "\r\n";
    if (Framing == TBodyFraming::Length && !Endless())
        head += "Content-Length: " + std::to_string(BodySize()) + "\r\n";
    else if (Framing == TBodyFraming::Chunked)
        head += "Transfer-Encoding: chunked\r\n";
    if (!connection.empty()) head += "Connection: " + connection + "\r\n";
    return head + "\r\n";
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
    case 206: return "Partial Content";
    case 302: return "Found";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    case 416: return "Range Not Satisfiable";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Error";
    }
}

TSiteResponse PlainErrorResponse(int status) {
    return MakeResponse(status, ReasonPhrase(status), "text/plain; charset=utf-8",
                        std::to_string(status) + " " + ReasonPhrase(status) + "\n");
}

std::string HttpDate(int64_t unixSeconds) {
    static const char* const days[] = {"Thu", "Fri", "Sat", "Sun", "Mon", "Tue", "Wed"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    int64_t day = unixSeconds / 86400, secs = unixSeconds % 86400;
    if (secs < 0) {
        secs += 86400;
        --day;
    }
    const char* weekday = days[((day % 7) + 7) % 7];  // 1 January 1970 was a Thursday
    // Civil date from a day count (days since 1970-01-01), proleptic Gregorian.
    int64_t z = day + 719468, era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    int64_t d = doy - (153 * mp + 2) / 5 + 1, m = mp < 10 ? mp + 3 : mp - 9;
    int64_t y = yoe + era * 400 + (m <= 2);
    char text[40];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", weekday, int(d),
                  months[m - 1], int(y), int(secs / 3600), int(secs / 60 % 60), int(secs % 60));
    return text;
}

namespace {

// One chunk of the chunked transfer coding holding Data.
std::string Chunk(const std::string& data) {
    char size[20];
    std::snprintf(size, sizeof size, "%zx\r\n", data.size());
    return size + data + "\r\n";
}

}  // namespace

TResponseSender::TResponseSender(const TSiteResponse& response, std::string head)
    : FHead(std::move(head)), FFirst(response.Body) {
    FFirstStart = FFirst ? std::min(response.BodyStart, FFirst->size()) : 0;
    FFirstSize = FFirst ? FFirst->size() - FFirstStart : 0;
    if (response.Endless()) FRepeat = response.Repeat;
    if (response.Framing == TBodyFraming::Chunked) {
        // Encoded once here: the finite part as one chunk (and the last chunk when it is
        // all), the repeated block as one chunk sent again and again.
        std::string first = FFirstSize ? Chunk(FFirst->substr(FFirstStart)) : std::string();
        if (!FRepeat) first += "0\r\n\r\n";
        FFirst = std::make_shared<const std::string>(std::move(first));
        FFirstStart = 0;
        FFirstSize = FFirst->size();
        if (FRepeat) FRepeat = std::make_shared<const std::string>(Chunk(*FRepeat));
    }
    uint64_t body = response.HeadOnly ? 0 : FRepeat ? UINT64_MAX : FFirstSize;
    if (response.CloseAfterBodyBytes >= 0 && uint64_t(response.CloseAfterBodyBytes) < body) {
        body = uint64_t(response.CloseAfterBodyBytes);
        FCutShort = true;
    }
    if (response.StallAfterBodyBytes >= 0 && uint64_t(response.StallAfterBodyBytes) < body &&
        !FCutShort) {
        body = uint64_t(response.StallAfterBodyBytes);
        FStalls = true;
    }
    FLimit = body == UINT64_MAX ? UINT64_MAX : FHead.size() + body;
    if (response.TrickleBytes > 0) {
        FPiece = size_t(response.TrickleBytes);
        FPieceLeft = FPiece;
        FDelay = std::max(0, response.TrickleDelayMs);
    }
}

TResponseSender::TSendState TResponseSender::State() const {
    if (!Unlimited() && FOffset >= FLimit) return FStalls ? Stalled : Done;
    return FPieceOpen ? Sending : Pausing;
}

std::pair<const char*, size_t> TResponseSender::Pending() const {
    if (State() != Sending) return {nullptr, 0};
    if (FOffset < FHead.size()) return {FHead.data() + FOffset, FHead.size() - FOffset};
    uint64_t inBody = FOffset - FHead.size();
    const char* from;
    size_t n;
    if (inBody < FFirstSize) {
        from = FFirst->data() + FFirstStart + inBody;
        n = FFirstSize - size_t(inBody);
    } else {
        size_t at = size_t((inBody - FFirstSize) % FRepeat->size());
        from = FRepeat->data() + at;
        n = FRepeat->size() - at;
    }
    if (!Unlimited()) n = size_t(std::min<uint64_t>(n, FLimit - FOffset));
    if (FPiece) n = std::min(n, FPieceLeft);
    return {from, n};
}

void TResponseSender::Advance(size_t sent) {
    size_t inBody = 0;
    if (FOffset >= FHead.size()) {
        inBody = sent;
    } else if (FOffset + sent > FHead.size()) {
        inBody = size_t(FOffset + sent - FHead.size());
    }
    FOffset = Unlimited() ? FOffset + sent : std::min(FLimit, FOffset + sent);
    if (!FPiece || inBody == 0) return;
    FPieceLeft -= std::min(FPieceLeft, inBody);
    if (FPieceLeft == 0 && (Unlimited() || FOffset < FLimit)) FPieceOpen = false;
}

void TResponseSender::OpenPiece() {
    FPieceOpen = true;
    FPieceLeft = FPiece;
}

std::string RequestLogLine(const TSiteRequest& request, const TSiteResponse& response) {
    bool length = response.Framing == TBodyFraming::Length && !response.Endless();
    std::string line = request.Method + " " + request.Target() + " " +
                       std::to_string(response.Status) + " " +
                       (length ? std::to_string(response.BodySize()) : std::string("-"));
    if (response.CloseAfterBodyBytes >= 0) line += " cut";
    if (response.StallAfterBodyBytes >= 0) line += " stall";
    if (response.TrickleBytes > 0) line += " trickle";
    if (response.Endless()) line += " endless";
    return line;
}
