// HttpChunk: the chunk-size grammar and the incremental chunk decoder (see HttpChunk.h).
//
// The decoder is a small state machine: a chunk-size line, its data, the line end after
// the data, and after the last (zero) chunk the trailer lines up to an empty one. Lines
// may end in CR LF or LF alone, as everywhere else in a response.
#include "platform/httpwire/HttpChunk.h"

#include "platform/httpwire/HttpWire.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace httpwire {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// tchar of RFC 9110 5.6.2.
bool IsTokenChar(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           (c != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

// qdtext and the byte after a backslash in a quoted string (RFC 9110 5.6.4).
bool IsQuotedText(unsigned char c) {
    return c == '\t' || c == ' ' || c == 0x21 || (c >= 0x23 && c <= 0x5B) || (c >= 0x5D && c <= 0x7E) || c >= 0x80;
}
bool IsQuotedPairChar(unsigned char c) { return c == '\t' || (c >= 0x20 && c != 0x7F); }

size_t SkipBlanks(const std::string& s, size_t i) {
    while (i < s.size() && IsBlank(s[i])) ++i;
    return i;
}

size_t SkipToken(const std::string& s, size_t i) {
    while (i < s.size() && IsTokenChar(s[i])) ++i;
    return i;
}

// A quoted string starting at the quote at I; the position after its closing quote, or
// npos when it is not closed or holds a byte it may not.
size_t SkipQuoted(const std::string& s, size_t i) {
    for (++i; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '"') return i + 1;
        if (c == '\\') {
            if (i + 1 >= s.size() || !IsQuotedPairChar(static_cast<unsigned char>(s[i + 1]))) return std::string::npos;
            ++i;
        } else if (!IsQuotedText(c)) {
            return std::string::npos;
        }
    }
    return std::string::npos;
}

// One extension from the ";" at I on: the position after it, or npos when malformed.
size_t SkipExtension(const std::string& s, size_t i) {
    i = SkipBlanks(s, i + 1);
    size_t nameEnd = SkipToken(s, i);
    if (nameEnd == i) return std::string::npos;
    size_t eq = SkipBlanks(s, nameEnd);
    if (eq == s.size() || s[eq] != '=') return nameEnd;
    size_t value = SkipBlanks(s, eq + 1);
    if (value < s.size() && s[value] == '"') return SkipQuoted(s, value);
    size_t valueEnd = SkipToken(s, value);
    return valueEnd == value ? std::string::npos : valueEnd;
}

}  // namespace

bool ParseChunkSizeLine(const std::string& line, uint64_t& size) {
    const uint64_t most = uint64_t(std::numeric_limits<int64_t>::max());
    uint64_t value = 0;
    size_t i = 0;
    for (int d; i < line.size() && (d = HexValue(line[i])) >= 0; ++i) {
        if (value > (most - uint64_t(d)) / 16) return false;
        value = value * 16 + uint64_t(d);
    }
    if (i == 0) return false;
    while (i < line.size()) {
        // Blanks may stand only before a ";" that starts the next extension.
        i = SkipBlanks(line, i);
        if (i == line.size() || line[i] != ';') return false;
        i = SkipExtension(line, i);
        if (i == std::string::npos) return false;
    }
    size = value;
    return true;
}

// ---- decoder ----------------------------------------------------------------------------

void TChunkDecoder::Reset() {
    FStep = stSize;
    FLine.clear();
    FRemaining = 0;
    FSawCR = false;
    FTrailerBytes = 0;
    FFailure = ceBadChunk;
}

TChunkDecoder::TEvent TChunkDecoder::Fail(TEvent failure) {
    FStep = stFailed;
    FFailure = failure;
    FLine.clear();
    return failure;
}

TChunkDecoder::TLine TChunkDecoder::TakeLine(const char*& p, const char* end) {
    const char* lf = static_cast<const char*>(std::memchr(p, '\n', size_t(end - p)));
    size_t n = lf ? size_t(lf - p) + 1 : size_t(end - p);
    // Refused as soon as the line cannot fit, so an endless line stops after MaxLine bytes.
    if (FLine.size() + n > FMaxLine) return lnTooLong;
    if (FStep == stTrailer) FTrailerBytes += n;
    FLine.append(p, n);
    p += n;
    return lf ? lnComplete : lnNeedMore;
}

TChunkDecoder::TEvent TChunkDecoder::Next(const char*& p, const char* end, size_t maxData,
                                          const char*& data, size_t& dataLen) {
    data = nullptr;
    dataLen = 0;
    for (;;) {
        if (FStep == stDone) return ceDone;
        if (FStep == stFailed) return FFailure;
        if (p >= end) return ceNeedMore;
        switch (FStep) {
        case stSize: {
            TLine line = TakeLine(p, end);
            if (line == lnTooLong) return Fail(ceBadChunk);
            if (line == lnNeedMore) return ceNeedMore;
            uint64_t size = 0;
            bool valid = ParseChunkSizeLine(WithoutLineEnd(FLine), size);
            FLine.clear();
            if (!valid) return Fail(ceBadChunk);
            FRemaining = size;
            FStep = size ? stData : stTrailer;
            break;
        }
        case stData: {
            size_t n = size_t(std::min<uint64_t>(FRemaining, uint64_t(end - p)));
            n = std::min(n, maxData);
            data = p;
            dataLen = n;
            p += n;
            FRemaining -= n;
            if (FRemaining == 0) FStep = stDataEnd;
            return ceData;
        }
        case stDataEnd:
            // Exactly CR LF (or LF) after the data: anything else is a wrong chunk size.
            if (*p == '\r' && !FSawCR) {
                FSawCR = true;
                ++p;
                break;
            }
            if (*p != '\n') return Fail(ceBadChunk);
            ++p;
            FSawCR = false;
            FStep = stSize;
            break;
        case stTrailer: {
            TLine line = TakeLine(p, end);
            if (line == lnTooLong) return Fail(ceLineTooLong);
            if (FTrailerBytes > FMaxTrailer) return Fail(ceTrailerTooLarge);
            if (line == lnNeedMore) return ceNeedMore;
            // Trailer fields are not used; the empty line ends the body.
            bool last = WithoutLineEnd(FLine).empty();
            FLine.clear();
            if (last) {
                FStep = stDone;
                return ceDone;
            }
            break;
        }
        case stDone:
        case stFailed:
            break;
        }
    }
}

}  // namespace httpwire
