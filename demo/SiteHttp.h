// SiteHttp: HTTP framing for the demo site, free of sockets.
//
// TSiteRequest and TSiteResponse are what the router sees and answers. TRequestReader
// parses one request incrementally, from raw bytes or from ready-made lines (as a line-mode
// socket delivers them), within fixed bounds on line length, header count and body size.
// TResponseSender cuts a response into the pieces a transport sends, following the
// response's directives: stop after a number of body bytes (then close), or trickle the
// body in small pieces with a pause between them. Every transport uses both, so they
// behave alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

using THeaderList = std::vector<std::pair<std::string, std::string>>;

struct TSiteRequest {
    std::string Method;   // "GET", "POST", ...
    std::string Path;     // "/xml" (no query)
    std::string Query;    // "spring12" (text after the first "?", empty when none)
    std::string Version;  // "HTTP/1.0"
    THeaderList Headers;  // in arrival order, names as sent
    std::string Body;

    // The value of the first header with this name (any case); empty when absent.
    std::string Header(const std::string& name) const;
    // "PATH" or "PATH?QUERY".
    std::string Target() const;
};

struct TSiteResponse {
    int Status = 200;
    std::string Reason = "OK";
    THeaderList Headers;                      // besides Content-Length and Connection
    std::shared_ptr<const std::string> Body;  // may be shared with a cache; null = empty
    bool HeadOnly = false;                    // HEAD: the head without the body
    int64_t CloseAfterBodyBytes = -1;         // >= 0: send only this much of the body, close
    int TrickleBytes = 0;                     // > 0: send the body in pieces of this size
    int TrickleDelayMs = 0;                   // pause before each piece after the first

    int64_t BodySize() const { return Body ? int64_t(Body->size()) : 0; }
    // The status line and headers, Content-Length (the full body) and
    // "Connection: close" included, ending with the empty line.
    std::string HeadBytes() const;
};

TSiteResponse MakeResponse(int status, const std::string& reason, const std::string& contentType,
                           std::string body);
// The reason phrase of a status the site answers with ("Not Found"); "Error" otherwise.
const char* ReasonPhrase(int status);
// A short plain-text error answer, for requests the transport rejects itself.
TSiteResponse PlainErrorResponse(int status);

// Bounds that keep a misbehaving client from making the site buffer without end.
constexpr size_t MaxRequestLineBytes = 8192;
constexpr size_t MaxHeaderCount = 100;
constexpr size_t MaxRequestBodyBytes = 1 << 20;

class TRequestReader {
public:
    enum TState { rsNeedMore, rsDone, rsError };

    // Raw bytes: splits lines (LF or CR LF) itself and takes the body by Content-Length.
    // *Used tells how many bytes were consumed (bytes after a complete request are left).
    TState Feed(const char* data, size_t size, size_t* used);
    // One line of the head, with or without its line end.
    TState FeedLine(std::string line);
    // Body bytes, once the head is complete; *Used as for Feed.
    TState FeedBody(const char* data, size_t size, size_t* used);

    TState State() const { return FState; }
    bool HeadComplete() const { return FHeadDone; }
    size_t BodyBytesMissing() const { return FBodyWanted - FRequest.Body.size(); }
    const TSiteRequest& Request() const { return FRequest; }
    // The status to answer a rejected request with (400, 413, 431, 501), 0 otherwise.
    int ErrorStatus() const { return FErrorStatus; }

private:
    TState Fail(int status);
    TState ParseRequestLine(const std::string& line);
    TState ParseHeaderLine(const std::string& line);
    TState EndOfHead();

    TSiteRequest FRequest;
    std::string FPartialLine;
    bool FSeenRequestLine = false;
    bool FHeadDone = false;
    size_t FBodyWanted = 0;
    TState FState = rsNeedMore;
    int FErrorStatus = 0;
};

// Walks a response's bytes for a transport. Usage: while (!Done()) { wait DelayMs();
// send a prefix of Pending(); Advance(bytes sent); }. When Done(), the transport closes.
class TResponseSender {
public:
    explicit TResponseSender(const TSiteResponse& response);

    bool Done() const { return FOffset >= FLimit; }
    // Bytes that may go out now: the rest of the head and at most one trickle piece.
    std::pair<const char*, size_t> Pending() const;
    void Advance(size_t sent);
    // Milliseconds to wait before Pending() may be sent (non-zero only between pieces).
    int DelayMs() const { return FPieceOpen ? 0 : FDelay; }
    // Records that the pause was served; the next piece is open.
    void OpenPiece();
    // Whether the response stops early (the transport then closes without lingering).
    bool CutShort() const { return FCutShort; }

private:
    std::string FHead;
    std::shared_ptr<const std::string> FBody;  // shared with the response (and its cache)
    size_t FOffset = 0;     // bytes sent so far, head first, then body
    size_t FLimit = 0;      // bytes to send in all
    size_t FPiece = 0;      // trickle piece size, 0 = no trickle
    size_t FPieceLeft = 0;  // body bytes left in the current piece
    int FDelay = 0;
    bool FPieceOpen = true;
    bool FCutShort = false;
};

// One line of the request log: "METHOD TARGET STATUS BYTES" plus " cut" or " trickle"
// when a directive applies. BYTES is the body length announced.
std::string RequestLogLine(const TSiteRequest& request, const TSiteResponse& response);
