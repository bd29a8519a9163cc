// HttpChunk: chunked transfer coding (RFC 9112 section 7.1) as the HTTP client and the
// internet library both decode it: the grammar of a chunk-size line, and TChunkDecoder,
// an incremental decoder that is handed whatever bytes have arrived and gives back the
// body bytes between the framing.
//
// The decoder keeps only a partial framing line (bounded by MaxLine) and the count of the
// current chunk; body bytes are never copied, they are pointed to inside the caller's
// buffer. It stops for good at the first malformed byte, so an invalid body can neither
// be taken for a valid one nor keep the transfer going. Tested by tests/platform/httpwire.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace httpwire {

// Parses a chunk-size line without its line end: 1*HEXDIG (a value of at most 2^63 - 1),
// then nothing, or chunk extensions: *( *blank ";" *blank name [ *blank "=" *blank value ] )
// with name a token and value a token or a quoted string. Blanks after the size are
// allowed only before a ";", an extension must have a name, and a quoted string must be
// closed; "25  ", "2 x", "5;" and "5;a=\"b" are all invalid.
bool ParseChunkSizeLine(const std::string& line, uint64_t& size);

class TChunkDecoder {
public:
    // What Next found.
    enum TEvent {
        ceNeedMore,         // every byte was taken; the body goes on
        ceData,             // Data / DataLen: body bytes
        ceDone,             // the last chunk and its trailer are complete
        ceBadChunk,         // a malformed chunk-size line, or no line end after a chunk
        ceLineTooLong,      // a trailer line longer than MaxLine
        ceTrailerTooLarge,  // the trailer longer than MaxTrailer
    };

    // MaxLine bounds every framing line with its line end (a longer chunk-size line is
    // ceBadChunk, a longer trailer line ceLineTooLong); MaxTrailer the whole trailer.
    TChunkDecoder(size_t maxLine, size_t maxTrailer) : FMaxLine(maxLine), FMaxTrailer(maxTrailer) {}

    // Starts a new body.
    void Reset();
    // Takes bytes from P up to End, moving P past what it took. Returns ceData with at most
    // MaxData (> 0) body bytes at Data, ceNeedMore once P reached End, ceDone with P just
    // after the body (the rest is not part of it), or a failure, which every later call
    // repeats.
    TEvent Next(const char*& p, const char* end, size_t maxData, const char*& data, size_t& dataLen);
    bool Done() const { return FStep == stDone; }
    // True while a chunk-size line, chunk data or a trailer is still due (the body is
    // incomplete if the connection ends now).
    bool Pending() const { return FStep != stDone && FStep != stFailed; }

private:
    enum TStep { stSize, stData, stDataEnd, stTrailer, stDone, stFailed };
    enum TLine { lnNeedMore, lnComplete, lnTooLong };
    // Collects a line into FLine; lnComplete once its LF has come.
    TLine TakeLine(const char*& p, const char* end);
    TEvent Fail(TEvent failure);

    size_t FMaxLine;
    size_t FMaxTrailer;
    TStep FStep = stSize;
    std::string FLine;
    uint64_t FRemaining = 0;   // bytes of the current chunk still due
    bool FSawCR = false;       // the CR of a chunk's line end has come
    size_t FTrailerBytes = 0;
    TEvent FFailure = ceBadChunk;
};

}  // namespace httpwire
