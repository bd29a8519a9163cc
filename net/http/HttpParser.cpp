// HttpParser: the incremental response reader (see HttpParser.h).
//
// The parser is a small state machine: header lines, then the body according to its
// framing (a byte count, chunks, or the end of the connection). A partial line is kept in
// FLine between calls, so the stream may be cut anywhere. Sink callbacks can end the
// parse (Halt, or a Reset for the next response); FGeneration changes whenever that
// happens and every loop checks it after each callback before touching its state again.
#include "net/http/HttpParser.h"

#include <cstring>
#include <strings.h>

// ---- header field names -------------------------------------------------------------

namespace {

struct TFieldName {
    const char* Name;
    THttpField Field;
};

// The one place where a header name decides what the client does with the line.
const TFieldName FieldNames[] = {
    {"location", THttpField::Location},
    {"content-length", THttpField::ContentLength},
    {"content-range", THttpField::ContentRange},
    {"accept-ranges", THttpField::AcceptRanges},
    {"content-type", THttpField::ContentType},
    {"www-authenticate", THttpField::WwwAuthenticate},
    {"set-cookie", THttpField::SetCookie},
    {"transfer-encoding", THttpField::TransferEncoding},
};

THttpField FieldOf(const std::string& lowerName) {
    for (const TFieldName& f : FieldNames)
        if (lowerName == f.Name) return f.Field;
    return THttpField::Other;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The line without its LF and without a CR directly before it.
std::string LineContent(const std::string& raw) {
    size_t n = raw.size();
    if (n > 0 && raw[n - 1] == '\n') --n;
    if (n > 0 && raw[n - 1] == '\r') --n;
    return raw.substr(0, n);
}

}  // namespace

// ---- control ------------------------------------------------------------------------

void THttpResponseParser::Reset(bool headRequest) {
    ++FGeneration;
    FPhase = phHeader;
    FHeadRequest = headRequest;
    FLine.clear();
    FHeaderBytes = 0;
    FLineCount = 0;
    FStatusCode = 0;
    FReasonPhrase.clear();
    FContentLength = -1;
    FChunked = false;
    FFraming = THttpFraming::UntilClose;
    FRemaining = 0;
    FChunkStep = ckSize;
    FError.reset();
}

void THttpResponseParser::Halt() {
    if (FPhase == phFailed) return;
    ++FGeneration;
    FPhase = phHalted;
}

void THttpResponseParser::Fail(uint16_t code, const std::string& text) {
    ++FGeneration;
    FPhase = phFailed;
    FLine.clear();
    FError = std::make_unique<EHttpException>(text, code);
}

void THttpResponseParser::Complete() {
    FPhase = phDone;
    FSink.ResponseComplete();
}

bool THttpResponseParser::Feed(const char* data, size_t len) {
    const uint32_t generation = FGeneration;
    const char* p = data;
    const char* end = data + len;
    while (p < end && generation == FGeneration) {
        switch (FPhase) {
        case phHeader:
            if (!TakeLine(p, end, MaxLine, httperrLineTooLong, SHttpLineTooLong)) break;
            HeaderLineDone();
            break;
        case phBody:
            Body(p, end);
            break;
        case phDone:
        case phHalted:
            return true;  // whatever follows the document is not part of it
        case phFailed:
            return false;
        }
    }
    return FPhase != phFailed;
}

bool THttpResponseParser::Finish() {
    if (FPhase == phBody) {
        if (FFraming == THttpFraming::Length || FFraming == THttpFraming::Chunked) {
            Fail(httperrIncomplete, SHttpIncomplete);
            return false;
        }
        FPhase = phDone;
    }
    return FPhase != phFailed;
}

// ---- lines --------------------------------------------------------------------------

bool THttpResponseParser::TakeLine(const char*& p, const char* end, size_t limit,
                                   uint16_t errCode, const char* errText) {
    const char* lf = static_cast<const char*>(std::memchr(p, '\n', size_t(end - p)));
    size_t n = lf ? size_t(lf - p) + 1 : size_t(end - p);
    // Fail as soon as the line cannot fit, not only when its end finally arrives, so a
    // peer sending an endless line is stopped after Limit bytes.
    if (FLine.size() + n > limit) {
        Fail(errCode, errText);
        return false;
    }
    if (FPhase == phHeader || FChunkStep == ckTrailer) {
        FHeaderBytes += n;
        if (FHeaderBytes > MaxHeader) {
            Fail(httperrHeaderTooLarge, SHttpHeaderTooLarge);
            return false;
        }
    }
    FLine.append(p, n);
    p += n;
    return lf != nullptr;
}

void THttpResponseParser::HeaderLineDone() {
    std::string raw;
    raw.swap(FLine);
    std::string line = LineContent(raw);

    // A document that starts without any header: from here on everything is body,
    // this line included, exactly as it arrived.
    if (line.size() >= 6 && strncasecmp(line.c_str(), "<HTML>", 6) == 0) {
        const uint32_t generation = FGeneration;
        FPhase = phBody;
        FFraming = THttpFraming::UntilClose;
        FSink.ResponseNoHeader();
        if (generation == FGeneration) FSink.ResponseBody(raw.data(), raw.size());
        return;
    }
    if (line.empty()) {
        HeaderEnd();
        return;
    }

    THttpLineKind kind = THttpLineKind::Other;
    THttpField field = THttpField::Other;
    std::string value;
    const bool statusLine = line.compare(0, 8, "HTTP/1.0") == 0 || line.compare(0, 8, "HTTP/1.1") == 0;
    if (FLineCount == 0 && !statusLine) {
        Fail(httperrBadStatusLine, SHttpBadStatusLine);
        return;
    }
    size_t colon = line.find(':');
    if (statusLine) {
        ParseStatusLine(line);
        if (FPhase == phFailed) return;
        kind = THttpLineKind::Status;
    } else if (colon != std::string::npos) {
        kind = THttpLineKind::Field;
        std::string name = LowerCase(line.substr(0, colon));
        field = FieldOf(name);
        // Leading spaces are skipped, but the value's last character is always kept.
        size_t v = colon + 1;
        while (v + 1 < line.size() && line[v] == ' ') ++v;
        value = line.substr(v);
        FieldLine(value, field);
        if (FPhase == phFailed) return;
    }
    ++FLineCount;
    FSink.ResponseHeaderLine(line, kind, field, value);
}

void THttpResponseParser::ParseStatusLine(const std::string& line) {
    // "HTTP/1.x NNN reason": the code in characters 10 to 12, the reason from 14 on.
    bool valid = line.size() >= 12 && line[8] == ' ' && line[9] >= '1' && line[9] <= '9' &&
                 IsDigit(line[10]) && IsDigit(line[11]) && (line.size() == 12 || line[12] == ' ');
    if (!valid) {
        Fail(httperrBadStatusLine, SHttpBadStatusLine);
        return;
    }
    FStatusCode = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
    FReasonPhrase = line.size() > 13 ? line.substr(13) : std::string();
}

// Framing fields: the parser needs them itself to know where the body ends.
void THttpResponseParser::FieldLine(const std::string& value, THttpField field) {
    if (field == THttpField::ContentLength) {
        std::string digits = Trim(value);
        bool valid = !digits.empty() && digits.size() <= 18;
        for (char c : digits) valid = valid && IsDigit(c);
        int64_t length = valid ? StrToInt(digits) : -1;
        // Two different lengths leave no way to tell where the body ends.
        if (!valid || (FContentLength >= 0 && FContentLength != length)) {
            Fail(httperrBadContentLength, SHttpBadContentLength);
            return;
        }
        FContentLength = length;
    } else if (field == THttpField::TransferEncoding) {
        // Chunked when it is the last coding applied.
        std::string codings = LowerCase(value);
        size_t comma = codings.rfind(',');
        FChunked = Trim(comma == std::string::npos ? codings : codings.substr(comma + 1)) == "chunked";
    }
}

void THttpResponseParser::HeaderEnd() {
    if (FLineCount == 0) {  // an empty line where the status line belongs
        Fail(httperrBadStatusLine, SHttpBadStatusLine);
        return;
    }
    // An interim answer (100 Continue and the like) is followed by the real one.
    if (FStatusCode >= 100 && FStatusCode < 200 && FStatusCode != 101) {
        FLineCount = 0;
        FContentLength = -1;
        FChunked = false;
        return;
    }
    if (FHeadRequest || FStatusCode < 200 || FStatusCode == 204 || FStatusCode == 304)
        FFraming = THttpFraming::NoBody;
    else if (FChunked)
        FFraming = THttpFraming::Chunked;
    else if (FContentLength >= 0)
        FFraming = THttpFraming::Length;
    else
        FFraming = THttpFraming::UntilClose;
    FRemaining = FFraming == THttpFraming::Length ? FContentLength : 0;
    FChunkStep = ckSize;
    FPhase = phBody;

    const uint32_t generation = FGeneration;
    FSink.ResponseHeaderEnd();
    if (generation != FGeneration) return;
    if (FFraming == THttpFraming::NoBody || (FFraming == THttpFraming::Length && FRemaining == 0))
        Complete();
}

// ---- body ---------------------------------------------------------------------------

void THttpResponseParser::Body(const char*& p, const char* end) {
    switch (FFraming) {
    case THttpFraming::UntilClose: {
        const char* from = p;
        p = end;
        FSink.ResponseBody(from, size_t(end - from));
        return;
    }
    case THttpFraming::Length: {
        size_t n = size_t(end - p);
        if (int64_t(n) > FRemaining) n = size_t(FRemaining);
        const char* from = p;
        p += n;
        FRemaining -= int64_t(n);
        const uint32_t generation = FGeneration;
        FSink.ResponseBody(from, n);
        if (generation == FGeneration && FRemaining == 0) Complete();
        return;
    }
    case THttpFraming::Chunked:
        ChunkedBody(p, end);
        return;
    case THttpFraming::NoBody:
        Complete();
        return;
    }
}

void THttpResponseParser::ChunkedBody(const char*& p, const char* end) {
    const uint32_t generation = FGeneration;
    while (p < end && generation == FGeneration) {
        switch (FChunkStep) {
        case ckSize:
            if (TakeLine(p, end, MaxLine, httperrBadChunk, SHttpBadChunk)) ChunkSizeLine();
            break;
        case ckData: {
            size_t n = size_t(end - p);
            if (int64_t(n) > FRemaining) n = size_t(FRemaining);
            const char* from = p;
            p += n;
            FRemaining -= int64_t(n);
            if (FRemaining == 0) FChunkStep = ckDataEnd;
            FSink.ResponseBody(from, n);
            break;
        }
        case ckDataEnd:
            if (!TakeLine(p, end, MaxLine, httperrBadChunk, SHttpBadChunk)) break;
            if (!LineContent(FLine).empty()) {
                Fail(httperrBadChunk, SHttpBadChunk);
                break;
            }
            FLine.clear();
            FChunkStep = ckSize;
            break;
        case ckTrailer:
            if (!TakeLine(p, end, MaxLine, httperrLineTooLong, SHttpLineTooLong)) break;
            if (LineContent(FLine).empty()) {
                FLine.clear();
                Complete();
                return;
            }
            FLine.clear();  // trailer fields are not used
            break;
        }
    }
}

void THttpResponseParser::ChunkSizeLine() {
    std::string line = LineContent(FLine);
    FLine.clear();
    // 1*HEXDIG, then nothing, blanks or ";extension". Fifteen digits keep it in range.
    size_t i = 0;
    int64_t size = 0;
    while (i < line.size() && HexValue(line[i]) >= 0 && i < 15) size = size * 16 + HexValue(line[i++]);
    bool valid = i > 0 && (i == line.size() || line[i] == ';' || line[i] == ' ' || line[i] == '\t');
    if (!valid) {
        Fail(httperrBadChunk, SHttpBadChunk);
        return;
    }
    if (size == 0) {
        FChunkStep = ckTrailer;
    } else {
        FRemaining = size;
        FChunkStep = ckData;
    }
}
