// HttpParser: the incremental response reader (see HttpParser.h).
//
// The parser is a small state machine: header lines, judged by the head rules it shares
// with the internet library (httpwire::THeadRules), then the body according to its
// framing (a byte count, chunks through httpwire::TChunkDecoder, or the end of the
// connection). A partial line is kept in FLine between calls, so the stream may be cut
// anywhere. Sink callbacks can end the
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

}  // namespace

// ---- control ------------------------------------------------------------------------

void THttpResponseParser::Reset(bool headRequest) {
    ++FGeneration;
    FPhase = phHeader;
    FHeadRequest = headRequest;
    FLine.clear();
    FHeaderBytes = 0;
    FRules.Reset();
    FStatusCode = 0;
    FReasonPhrase.clear();
    FContentLength = -1;
    FFraming = THttpFraming::UntilClose;
    FRemaining = 0;
    FChunks.Reset();
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
            if (TakeHeaderLine(p, end)) HeaderLineDone();
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
    // A head that began but never ended is no response, whatever its lines said.
    if (FPhase == phHeader && FHeaderBytes > 0) {
        Fail(httperrIncomplete, SHttpHeadIncomplete);
        return false;
    }
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

bool THttpResponseParser::TakeHeaderLine(const char*& p, const char* end) {
    const char* lf = static_cast<const char*>(std::memchr(p, '\n', size_t(end - p)));
    size_t n = lf ? size_t(lf - p) + 1 : size_t(end - p);
    // Fail as soon as the line cannot fit, not only when its end finally arrives, so a
    // peer sending an endless line is stopped after MaxLine bytes.
    if (FLine.size() + n > MaxLine) {
        Fail(httperrLineTooLong, SHttpLineTooLong);
        return false;
    }
    FHeaderBytes += n;
    if (FHeaderBytes > MaxHeader) {
        Fail(httperrHeaderTooLarge, SHttpHeaderTooLarge);
        return false;
    }
    FLine.append(p, n);
    p += n;
    return lf != nullptr;
}

void THttpResponseParser::HeaderLineDone() {
    std::string raw;
    raw.swap(FLine);
    std::string line = httpwire::WithoutLineEnd(raw);

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

    const bool laterStatus = FRules.SawStatusLine() && LaterStatusLine(line);
    const httpwire::THeadVerdict verdict = FRules.Line(line);
    if (!Accepted(verdict)) return;
    if (verdict == httpwire::hvSkipped) return;
    if (verdict == httpwire::hvEnd) {
        HeaderEnd();
        return;
    }
    FContentLength = FRules.ContentLength();

    THttpLineKind kind = THttpLineKind::Other;
    THttpField field = THttpField::Other;
    std::string value;
    if (verdict == httpwire::hvStatus) {
        FStatusCode = FRules.Status().Status;
        FReasonPhrase = FRules.Status().Reason;
        kind = THttpLineKind::Status;
    } else if (laterStatus) {
        // A later "HTTP/1.0" or "HTTP/1.1" line is a status line too and replaces the first.
        httpwire::TStatusLine status;
        if (!httpwire::ParseStatusLine(line, status)) {
            Fail(httperrBadStatusLine, SHttpBadStatusLine);
            return;
        }
        FStatusCode = status.Status;
        FReasonPhrase = status.Reason;
        kind = THttpLineKind::Status;
    } else if (size_t colon = line.find(':'); colon != std::string::npos) {
        kind = THttpLineKind::Field;
        field = FieldOf(LowerCase(line.substr(0, colon)));
        // Leading spaces are skipped, but the value's last character is always kept.
        size_t v = colon + 1;
        while (v + 1 < line.size() && line[v] == ' ') ++v;
        value = line.substr(v);
    }
    FSink.ResponseHeaderLine(line, kind, field, value);
}

bool THttpResponseParser::LaterStatusLine(const std::string& line) {
    return line.compare(0, 8, "HTTP/1.0") == 0 || line.compare(0, 8, "HTTP/1.1") == 0;
}

bool THttpResponseParser::Accepted(httpwire::THeadVerdict verdict) {
    switch (verdict) {
    case httpwire::hvBadStatusLine:
        Fail(httperrBadStatusLine, SHttpBadStatusLine);
        return false;
    case httpwire::hvBadContentLength:
        Fail(httperrBadContentLength, SHttpBadContentLength);
        return false;
    case httpwire::hvBadTransferEncoding:
        // The coding of the body cannot be told: it cannot be decoded either.
        Fail(httperrBadChunk, SHttpBadChunk);
        return false;
    default:
        return true;
    }
}

void THttpResponseParser::HeaderEnd() {
    // An interim answer (100 Continue and the like) is followed by the real one.
    if (FStatusCode >= 100 && FStatusCode < 200 && FStatusCode != 101) {
        FRules.Reset();
        FContentLength = -1;
        return;
    }
    FFraming = FRules.Framing(FStatusCode, FHeadRequest);
    FRemaining = FFraming == THttpFraming::Length ? FContentLength : 0;
    FChunks.Reset();
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
        const char* data = nullptr;
        size_t len = 0;
        switch (FChunks.Next(p, end, size_t(end - p), data, len)) {
        case httpwire::TChunkDecoder::ceNeedMore:
            break;
        case httpwire::TChunkDecoder::ceData:
            FSink.ResponseBody(data, len);
            break;
        case httpwire::TChunkDecoder::ceDone:
            Complete();
            return;
        case httpwire::TChunkDecoder::ceBadChunk:
            Fail(httperrBadChunk, SHttpBadChunk);
            return;
        case httpwire::TChunkDecoder::ceLineTooLong:
            Fail(httperrLineTooLong, SHttpLineTooLong);
            return;
        case httpwire::TChunkDecoder::ceTrailerTooLarge:
            Fail(httperrHeaderTooLarge, SHttpHeaderTooLarge);
            return;
        }
    }
}
