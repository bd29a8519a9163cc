// SiteHttp: HTTP framing for the demo site, free of sockets.
//
// TSiteRequest and TSiteResponse are what the router sees and answers. TRequestReader
// parses one request incrementally, from raw bytes, within fixed bounds on line length,
// header count and body size. TResponseSender cuts a response into the pieces a transport
// sends, following the response's directives: a body delimited by its length, by the
// end of the connection or by chunks; a body that never ends (a fixed part, then one
// block repeated for ever, so it costs no memory however long it runs); stop after a
// number of body bytes and close, or stop and keep the connection open; trickle the body
// in small pieces with a pause between them. TSiteSession (SiteSession.h) uses both for
// every transport, so the transports behave alike.
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
    std::string Version;  // "HTTP/1.0"; "HTTP/0.9" for a request line without one
    THeaderList Headers;  // in arrival order, names as sent
    std::string Body;

    // The value of the first header with this name (any case); empty when absent.
    std::string Header(const std::string& name) const;
    // "PATH" or "PATH?QUERY".
    std::string Target() const;
};

// Whether the client asks to keep the connection for another request: HTTP/1.1 unless
// "Connection: close"; HTTP/1.0 only with "Connection: keep-alive".
bool RequestKeepsAlive(const TSiteRequest& request);

// How the end of a response body is told to the client.
enum class TBodyFraming {
    Length,   // Content-Length
    Close,    // no length: the body ends when the connection closes
    Chunked,  // Transfer-Encoding: chunked
};

struct TSiteResponse {
    int Status = 200;
    std::string Reason = "OK";
    THeaderList Headers;                      // besides the framing and Connection headers
    std::shared_ptr<const std::string> Body;  // may be shared with a cache; null = empty
    size_t BodyStart = 0;                     // the body sent is Body from here on
    // Non-empty: after Body, these bytes again and again; the answer never ends (and
    // announces no length whatever the framing).
    std::shared_ptr<const std::string> Repeat;
    TBodyFraming Framing = TBodyFraming::Length;
    bool HeadOnly = false;                    // HEAD: the head without the body
    int64_t CloseAfterBodyBytes = -1;         // >= 0: send only this much of the body, close
    int64_t StallAfterBodyBytes = -1;         // >= 0: send only this much, then nothing, open
    int TrickleBytes = 0;                     // > 0: send the body in pieces of this size
    int TrickleDelayMs = 0;                   // pause before each piece after the first

    // Bytes of the (finite part of the) body: Body from BodyStart.
    int64_t BodySize() const;
    bool Endless() const { return Repeat && !Repeat->empty(); }
    // Whether the connection may carry another request after this answer: the body has
    // a known end and is sent whole.
    bool CanKeepAlive() const;
    // The status line (HTTP/1.1) and headers, then Content-Length (Length framing) or
    // Transfer-Encoding, then "Connection: VALUE" unless Connection is empty, ending with
    // the empty line.
    std::string HeadBytes(const std::string& connection = "close") const;
};

TSiteResponse MakeResponse(int status, const std::string& reason, const std::string& contentType,
                           std::string body);
// The reason phrase of a status the site answers with ("Not Found"); "Error" otherwise.
const char* ReasonPhrase(int status);
// A short plain-text error answer, for requests the transport rejects itself.
TSiteResponse PlainErrorResponse(int status);
// IMF-fixdate of a time in seconds since 1970 ("Tue, 04 Jun 2024 08:00:00 GMT").
std::string HttpDate(int64_t unixSeconds);

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
    // The status to answer a rejected request with (400, 413, 414, 431, 501, 505), 0
    // otherwise.
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

// Walks a response's bytes for a transport. Usage: while (State() != Done) { Sending:
// send a prefix of Pending() and Advance(bytes sent); Pausing: wait DelayMs(), then
// OpenPiece(); Stalled: nothing more will come }. After Done the answer is complete (or
// cut short: CutShort()).
class TResponseSender {
public:
    enum TSendState { Sending, Pausing, Stalled, Done };

    TResponseSender(const TSiteResponse& response, std::string head);

    TSendState State() const;
    // Bytes that may go out now: the rest of the head and at most one trickle piece.
    std::pair<const char*, size_t> Pending() const;
    void Advance(size_t sent);
    // Milliseconds to wait before Pending() may be sent (non-zero only between pieces).
    int DelayMs() const { return FPieceOpen ? 0 : FDelay; }
    // Records that the pause was served; the next piece is open.
    void OpenPiece();
    // Whether the response stops before its end (the transport then closes).
    bool CutShort() const { return FCutShort; }

private:
    bool Unlimited() const { return FLimit == UINT64_MAX; }

    std::string FHead;
    std::shared_ptr<const std::string> FFirst;   // body bytes before the repeated block
    size_t FFirstStart = 0, FFirstSize = 0;
    std::shared_ptr<const std::string> FRepeat;  // null: no repeated block
    uint64_t FOffset = 0;          // bytes sent so far, head first, then body
    uint64_t FLimit = 0;           // bytes to send in all (UINT64_MAX: no end)
    size_t FPiece = 0;             // trickle piece size, 0 = no trickle
    size_t FPieceLeft = 0;         // body bytes left in the current piece
    int FDelay = 0;
    bool FPieceOpen = true;
    bool FCutShort = false;
    bool FStalls = false;          // at FLimit the answer stalls instead of ending
};

// One line of the request log: "METHOD TARGET STATUS BYTES" plus " cut", " stall",
// " trickle" or " endless" when a directive applies. BYTES is the body length announced,
// "-" when the head announces none.
std::string RequestLogLine(const TSiteRequest& request, const TSiteResponse& response);
