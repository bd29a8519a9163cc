// HttpParser: the incremental reader of one HTTP response, fed bytes as they arrive and
// needing no socket (the client, the byte-boundary tests and the fuzz target feed it).
//
// Feed() takes any slice of the byte stream and reports what it found through a sink:
// each header line, the end of the header, body bytes (chunked coding already removed)
// and the end of the message where its framing says so. Every buffer is bounded: a
// header line with its line end must fit in MaxLine bytes and the header block in
// MaxHeader bytes; past either, or on a malformed status line, Content-Length or chunk,
// the parser stops with an EHttpException held in Error() and drops further input.
// Framing follows the rules shared with the internet library (platform/httpwire): empty
// lines before a status line are skipped (a few), a folded or blank-named Content-Length
// or Transfer-Encoding makes the response invalid, and chunked coding is decoded to the
// letter of its grammar.
// A sink callback may call Halt() (the client closing the connection); Feed then returns
// at once and ignores the rest until Reset().
#pragma once

#include "net/http/HttpException.h"
#include "platform/httpwire/HttpChunk.h"
#include "platform/httpwire/HttpWire.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// What the parser made of a non-empty header line.
enum class THttpLineKind {
    Status,  // "HTTP/1.0 ..." or "HTTP/1.1 ..." (StatusCode and ReasonPhrase are set)
    Field,   // "name: value"
    Other,   // neither; kept only in the received header
};

// Header fields the client acts on; everything else is Other.
enum class THttpField {
    Other,
    Location,
    ContentLength,
    ContentRange,
    AcceptRanges,
    ContentType,
    WwwAuthenticate,
    SetCookie,
    TransferEncoding,
};

// How the body of the response ends (NoBody, Length, Chunked, UntilClose).
using THttpFraming = httpwire::TFraming;

class THttpResponseSink {
public:
    virtual ~THttpResponseSink() = default;
    // A non-empty header line without its line end. For a Field, Name is lower case and
    // Value follows the colon with leading spaces skipped (its last character is kept).
    virtual void ResponseHeaderLine(const std::string& line, THttpLineKind kind,
                                    THttpField field, const std::string& value) = 0;
    // A line beginning with "<HTML>" (any case) came where a header line was expected:
    // there is no header; the body, from that line on, follows as ResponseBody.
    virtual void ResponseNoHeader() = 0;
    // The empty line that ends the header.
    virtual void ResponseHeaderEnd() = 0;
    // Body bytes, exactly as they make up the document.
    virtual void ResponseBody(const char* data, size_t len) = 0;
    // The framing says the document is complete (not raised for UntilClose).
    virtual void ResponseComplete() = 0;
};

class THttpResponseParser {
public:
    static constexpr size_t MaxLine = httpwire::MaxLineBytes;  // a header line with its line end
    static constexpr size_t MaxHeader = 1 << 20;   // the whole header block

    explicit THttpResponseParser(THttpResponseSink& sink) : FSink(sink), FChunks(MaxLine, MaxHeader) {}

    // Starts a new response. HeadRequest: the answer to HEAD carries no body.
    void Reset(bool headRequest = false);
    // Takes the next Len bytes of the stream. False once the parser has failed.
    bool Feed(const char* data, size_t len);
    // The connection ended. False (with Error set) when the head began but never ended,
    // or the body was cut short of its Content-Length or last chunk; true otherwise (also
    // when nothing at all came).
    bool Finish();
    // Drops everything until Reset(); safe to call from a sink callback.
    void Halt();

    bool InHeader() const { return FPhase == phHeader; }
    bool Done() const { return FPhase == phDone; }
    bool Failed() const { return FPhase == phFailed; }
    // The failure, or null.
    const EHttpException* Error() const { return FError.get(); }

    int StatusCode() const { return FStatusCode; }
    const std::string& ReasonPhrase() const { return FReasonPhrase; }
    int64_t ContentLength() const { return FContentLength; }  // -1 when none
    THttpFraming Framing() const { return FFraming; }
    int64_t HeaderBytes() const { return int64_t(FHeaderBytes); }

private:
    enum TPhase { phHeader, phBody, phDone, phFailed, phHalted };

    // Collects bytes up to a LF into FLine; true with the line complete. Fails past MaxLine
    // bytes of the line or MaxHeader bytes of the header.
    bool TakeHeaderLine(const char*& p, const char* end);
    void HeaderLineDone();
    // False (the parser failed) when the verdict is one of the bad ones.
    bool Accepted(httpwire::THeadVerdict verdict);
    bool LaterStatusLine(const std::string& line);
    void HeaderEnd();
    void Body(const char*& p, const char* end);
    void ChunkedBody(const char*& p, const char* end);
    void Complete();
    void Fail(uint16_t code, const std::string& text);

    THttpResponseSink& FSink;
    TPhase FPhase = phHeader;
    uint32_t FGeneration = 0;  // changes on Reset/Halt/Fail so that Feed notices
    bool FHeadRequest = false;
    std::string FLine;         // the partial header line
    size_t FHeaderBytes = 0;
    httpwire::THeadRules FRules;
    int FStatusCode = 0;
    std::string FReasonPhrase;
    int64_t FContentLength = -1;
    THttpFraming FFraming = THttpFraming::UntilClose;
    int64_t FRemaining = 0;    // body bytes still due (Length)
    httpwire::TChunkDecoder FChunks;
    std::unique_ptr<EHttpException> FError;
};
