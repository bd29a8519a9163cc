// HttpWire: status lines and head rules (see HttpWire.h).
#include "platform/httpwire/HttpWire.h"

#include "platform/rtl/SysUtils.h"

#include <cstring>
#include <limits>

namespace httpwire {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Text without the blanks (space, tab) at both ends.
std::string TrimBlanks(const std::string& text) {
    size_t from = 0, to = text.size();
    while (from < to && IsBlank(text[from])) ++from;
    while (to > from && IsBlank(text[to - 1])) --to;
    return text.substr(from, to - from);
}

}  // namespace

// ==== texts ===================================================================================

std::string WithoutLineEnd(const std::string& line) {
    size_t n = line.size();
    if (n > 0 && line[n - 1] == '\n') --n;
    if (n > 0 && line[n - 1] == '\r') --n;
    return line.substr(0, n);
}

// ==== response heads ===============================================================================

bool ParseStatusLine(const std::string& line, TStatusLine& out) {
    bool valid = line.size() >= 12 && line.compare(0, 7, "HTTP/1.") == 0 && IsDigit(line[7]) &&
                 line[8] == ' ' && line[9] >= '1' && line[9] <= '9' && IsDigit(line[10]) &&
                 IsDigit(line[11]) && (line.size() == 12 || line[12] == ' ');
    if (!valid) return false;
    out.Version = line.substr(0, 8);
    out.Status = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
    out.Reason = line.size() > 13 ? line.substr(13) : std::string();
    return true;
}

bool SplitHeaderField(const std::string& line, std::string& name, std::string& value) {
    size_t colon = line.find(':');
    if (colon == std::string::npos) return false;
    name = line.substr(0, colon);
    value = line.substr(colon + 1);
    return true;
}

bool ParseContentLength(const std::string& value, int64_t& length) {
    std::string digits = TrimBlanks(value);
    if (digits.empty()) return false;
    const int64_t most = std::numeric_limits<int64_t>::max();
    int64_t v = 0;
    for (char c : digits) {
        if (!IsDigit(c) || v > (most - (c - '0')) / 10) return false;
        v = v * 10 + (c - '0');
    }
    length = v;
    return true;
}

bool ChunkedIsFinal(const std::string& codings) {
    size_t comma = codings.rfind(',');
    return SameText(TrimBlanks(comma == std::string::npos ? codings : codings.substr(comma + 1)), "chunked");
}

TFraming FramingOf(int status, bool headRequest, bool hasTransferEncoding, bool chunked,
                   int64_t contentLength) {
    if (headRequest || status < 200 || status == 204 || status == 304) return TFraming::NoBody;
    if (hasTransferEncoding) return chunked ? TFraming::Chunked : TFraming::UntilClose;
    return contentLength >= 0 ? TFraming::Length : TFraming::UntilClose;
}

void THeadRules::Reset() { *this = THeadRules(); }

THeadVerdict THeadRules::Line(const std::string& line) {
    if (!FSawStatus) {
        // RFC 9112 2.2: empty lines before the start line are ignored, a few of them.
        if (line.empty()) return ++FEmptyLines > MaxLeadingEmptyLines ? hvBadStatusLine : hvSkipped;
        if (!ParseStatusLine(line, FStatus)) return hvBadStatusLine;
        FSawStatus = true;
        FLast = llStatus;
        return hvStatus;
    }
    if (line.empty()) return hvEnd;
    if (IsBlank(line[0])) {
        switch (FLast) {
        case llStatus: return hvBadStatusLine;  // whitespace before the first field
        case llContentLength: return hvBadContentLength;
        case llTransferEncoding: return hvBadTransferEncoding;
        default: return hvFold;
        }
    }
    return FieldLine(line);
}

THeadVerdict THeadRules::FieldLine(const std::string& line) {
    std::string name, value;
    FLast = llPlain;
    if (!SplitHeaderField(line, name, value)) return hvOther;
    // Blanks before the colon: a name another reader may or may not recognise.
    std::string bare = TrimBlanks(name);
    const bool blanks = bare.size() != name.size();
    if (SameText(bare, "content-length")) {
        int64_t length = -1;
        if (blanks || !ParseContentLength(value, length) ||
            (FContentLength >= 0 && length != FContentLength))
            return hvBadContentLength;
        FContentLength = length;
        FLast = llContentLength;
    } else if (SameText(bare, "transfer-encoding")) {
        if (blanks) return hvBadTransferEncoding;
        // Every Transfer-Encoding line adds codings; the last one names the final coding.
        FHasTransferEncoding = true;
        FChunked = ChunkedIsFinal(value);
        FLast = llTransferEncoding;
    }
    return hvField;
}

}  // namespace httpwire
