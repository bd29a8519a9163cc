// HttpWire: texts, authorities, references, status lines and head rules (see HttpWire.h).
//
// Sections follow the header: texts, authorities, references and addresses, response
// heads. Each step of an address is a small function of its own, so the callers that keep
// older quirks (SplitUrl in net/http, SplitHostPath in net/inetget) can use the steps they
// share and stay what they are.
#include "platform/httpwire/HttpWire.h"

#include "platform/rtl/SysUtils.h"

#include <cstring>
#include <limits>

namespace httpwire {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
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

bool HasControlBytes(const std::string& text, bool allowTab) {
    for (unsigned char c : text)
        if (c == 127 || (c < 32 && !(allowTab && c == '\t'))) return true;
    return false;
}

std::string WithoutLineEnd(const std::string& line) {
    size_t n = line.size();
    if (n > 0 && line[n - 1] == '\n') --n;
    if (n > 0 && line[n - 1] == '\r') --n;
    return line.substr(0, n);
}

std::string Base64(const void* data, size_t count) {
    static const char Digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const unsigned char* p = static_cast<const unsigned char*>(data);
    std::string out;
    out.reserve((count + 2) / 3 * 4);
    for (size_t i = 0; i < count; i += 3) {
        // A last group of one or two bytes is padded with zero bits, then with "=".
        uint32_t group = uint32_t(p[i]) << 16;
        if (i + 1 < count) group |= uint32_t(p[i + 1]) << 8;
        if (i + 2 < count) group |= p[i + 2];
        out += Digits[(group >> 18) & 63];
        out += Digits[(group >> 12) & 63];
        out += i + 1 < count ? Digits[(group >> 6) & 63] : '=';
        out += i + 2 < count ? Digits[group & 63] : '=';
    }
    return out;
}

// ==== authorities ===============================================================================

namespace {

// A host that may stand in an authority and a Host line.
bool IsHostText(const std::string& host) {
    if (host.empty()) return false;
    for (unsigned char c : host)
        if (c <= ' ' || c == 127 || std::strchr(":/?#@", c)) return false;
    return true;
}

// One to five decimal digits with a value from 1 to 65535.
bool ParsePort(const std::string& digits, uint16_t& port) {
    if (digits.empty() || digits.size() > 5) return false;
    long value = 0;
    for (char c : digits) {
        if (!IsDigit(c)) return false;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535) return false;
    port = uint16_t(value);
    return true;
}

}  // namespace

void SplitAuthority(const std::string& authority, std::string& userInfo, std::string& hostPort) {
    size_t at = authority.rfind('@');
    userInfo = at == std::string::npos ? std::string() : authority.substr(0, at);
    hostPort = at == std::string::npos ? authority : authority.substr(at + 1);
}

void SplitUserInfo(const std::string& userInfo, std::string& user, std::string& password) {
    size_t colon = userInfo.find(':');
    user = userInfo.substr(0, colon);
    password = colon == std::string::npos ? std::string() : userInfo.substr(colon + 1);
}

void SplitHostPortText(const std::string& hostPort, std::string& host, std::string& port) {
    size_t colon = hostPort.rfind(':');
    host = hostPort.substr(0, colon);
    port = colon == std::string::npos ? std::string() : hostPort.substr(colon + 1);
}

bool SplitHostPort(const std::string& text, uint16_t defaultPort, std::string& host, uint16_t& port) {
    size_t colon = text.rfind(':');
    host = text.substr(0, colon);
    port = defaultPort;
    if (colon != std::string::npos && !ParsePort(text.substr(colon + 1), port)) return false;
    return IsHostText(host);
}

// ==== references and addresses =====================================================================

namespace {

// ALPHA *( ALPHA / DIGIT / "+" / "-" / "." ).
bool IsSchemeText(const std::string& text) {
    if (text.empty() || !IsAlpha(text[0])) return false;
    for (char c : text)
        if (!IsAlpha(c) && !IsDigit(c) && c != '+' && c != '-' && c != '.') return false;
    return true;
}

// True when the ":" at Colon is followed by digits up to the end or a "/" or "?": the
// port of a bare "host:port", which callers have always accepted for an address.
bool PortFollows(const std::string& ref, size_t colon) {
    size_t end = ref.find_first_of("/?", colon + 1);
    if (end == std::string::npos) end = ref.size();
    if (end == colon + 1) return false;
    for (size_t i = colon + 1; i < end; ++i)
        if (!IsDigit(ref[i])) return false;
    return true;
}

// remove_dot_segments of RFC 3986 5.2.4, on a path without its query.
std::string RemoveDotSegments(std::string in) {
    std::string out;
    while (!in.empty()) {
        if (in.compare(0, 3, "../") == 0) {
            in.erase(0, 3);
        } else if (in.compare(0, 2, "./") == 0) {
            in.erase(0, 2);
        } else if (in.compare(0, 3, "/./") == 0) {
            in.erase(0, 2);
        } else if (in == "/.") {
            in = "/";
        } else if (in.compare(0, 4, "/../") == 0 || in == "/..") {
            in = "/" + in.substr(in.size() == 3 ? 3 : 4);
            size_t slash = out.rfind('/');
            out.erase(slash == std::string::npos ? 0 : slash);
        } else if (in == "." || in == "..") {
            in.clear();
        } else {
            size_t next = in.find('/', 1);
            out += in.substr(0, next);
            in.erase(0, next);
        }
    }
    return out;
}

}  // namespace

void SplitReference(const std::string& ref, TReference& out) {
    out = TReference();
    std::string rest = ref.substr(0, ref.find('#'));
    size_t stop = rest.find_first_of(":/?");
    if (stop != std::string::npos && rest[stop] == ':' && IsSchemeText(rest.substr(0, stop)) &&
        !PortFollows(rest, stop)) {
        out.Scheme = LowerCase(rest.substr(0, stop));
        rest.erase(0, stop + 1);
    }
    if (rest.compare(0, 2, "//") == 0) {
        size_t pathStart = rest.find_first_of("/?", 2);
        out.HasAuthority = true;
        out.Authority = rest.substr(2, pathStart == std::string::npos ? std::string::npos : pathStart - 2);
        rest = pathStart == std::string::npos ? std::string() : rest.substr(pathStart);
    }
    out.Path = rest;
}

std::string SchemeOf(const std::string& url) {
    TReference ref;
    SplitReference(url, ref);
    return ref.Scheme;
}

std::string ForeignScheme(const std::string& url) {
    std::string scheme = SchemeOf(url);
    return scheme == "http" ? std::string() : scheme;
}

std::string AfterHttpScheme(const std::string& url) {
    return StartsText("http://", url) ? url.substr(7) : url;
}

bool ParseHttpUrl(const std::string& url, THttpUrl& out) {
    TReference ref;
    SplitReference(url, ref);
    if (ref.Scheme != "http" || !ref.HasAuthority) return false;
    out = THttpUrl();
    std::string hostPort;
    SplitAuthority(ref.Authority, out.UserInfo, hostPort);
    if (!SplitHostPort(hostPort, 80, out.Host, out.Port)) return false;
    out.Target = ref.Path.empty() || ref.Path[0] != '/' ? "/" + ref.Path : ref.Path;
    return true;
}

TLocationVerdict ReadLocation(const std::string& value, TReference& ref) {
    std::string text = Trim(value);
    if (text.empty() || HasControlBytes(text)) return lvInvalid;
    SplitReference(text, ref);
    if (ref.Scheme.empty()) return lvFollow;
    if (ref.Scheme != "http") return lvUnsupportedScheme;
    if (!ref.HasAuthority) ref.Scheme.clear();
    return lvFollow;
}

std::string MergePath(const std::string& basePath, const std::string& relative) {
    std::string base = basePath.empty() ? std::string("/") : basePath;
    if (relative.empty()) return base;
    std::string basePart = base.substr(0, base.find('?'));
    if (relative[0] == '?') return basePart + relative;
    size_t slash = basePart.rfind('/');
    std::string folder = slash == std::string::npos ? std::string("/") : basePart.substr(0, slash + 1);
    size_t query = relative.find('?');
    std::string path = folder + relative.substr(0, query);
    return RemoveDotSegments(path) + (query == std::string::npos ? std::string() : relative.substr(query));
}

namespace {

// The five parts of a URI reference by the grammar of RFC 3986 appendix B; an absent
// part differs from an empty one ("?" alone is an empty query).
struct TUriParts {
    std::string Scheme, Authority, Path, Query, Fragment;
    bool HasScheme = false, HasAuthority = false, HasQuery = false, HasFragment = false;
};

TUriParts SplitUri(const std::string& text) {
    TUriParts u;
    std::string rest = text;
    size_t hash = rest.find('#');
    if (hash != std::string::npos) {
        u.HasFragment = true;
        u.Fragment = rest.substr(hash + 1);
        rest.erase(hash);
    }
    size_t stop = rest.find_first_of(":/?");
    if (stop != std::string::npos && rest[stop] == ':' && IsSchemeText(rest.substr(0, stop))) {
        u.HasScheme = true;
        u.Scheme = rest.substr(0, stop);
        rest.erase(0, stop + 1);
    }
    if (rest.compare(0, 2, "//") == 0) {
        size_t end = rest.find_first_of("/?", 2);
        u.HasAuthority = true;
        u.Authority = rest.substr(2, end == std::string::npos ? std::string::npos : end - 2);
        rest.erase(0, end == std::string::npos ? rest.size() : end);
    }
    size_t question = rest.find('?');
    if (question != std::string::npos) {
        u.HasQuery = true;
        u.Query = rest.substr(question + 1);
        rest.erase(question);
    }
    u.Path = rest;
    return u;
}

// RFC 3986 5.3: the parts put together again.
std::string JoinUri(const TUriParts& u) {
    std::string out;
    if (u.HasScheme) out += u.Scheme + ":";
    if (u.HasAuthority) out += "//" + u.Authority;
    out += u.Path;
    if (u.HasQuery) out += "?" + u.Query;
    if (u.HasFragment) out += "#" + u.Fragment;
    return out;
}

// RFC 3986 5.2.3: the reference's path beside the base's last segment.
std::string MergeUriPaths(const TUriParts& base, const std::string& relative) {
    if (base.HasAuthority && base.Path.empty()) return "/" + relative;
    size_t slash = base.Path.rfind('/');
    return (slash == std::string::npos ? std::string() : base.Path.substr(0, slash + 1)) + relative;
}

}  // namespace

std::string ResolveReference(const std::string& base, const std::string& reference, bool strict) {
    const TUriParts b = SplitUri(base);
    TUriParts r = SplitUri(reference);
    if (!strict && r.HasScheme && SameText(r.Scheme, b.Scheme)) r.HasScheme = false;
    TUriParts t;
    if (r.HasScheme) {
        t = r;
        t.Path = RemoveDotSegments(r.Path);
    } else {
        t.HasScheme = b.HasScheme;
        t.Scheme = b.Scheme;
        if (r.HasAuthority) {
            t.HasAuthority = true;
            t.Authority = r.Authority;
            t.Path = RemoveDotSegments(r.Path);
            t.HasQuery = r.HasQuery;
            t.Query = r.Query;
        } else {
            t.HasAuthority = b.HasAuthority;
            t.Authority = b.Authority;
            if (r.Path.empty()) {
                t.Path = b.Path;
                t.HasQuery = r.HasQuery || b.HasQuery;
                t.Query = r.HasQuery ? r.Query : b.Query;
            } else {
                t.Path = RemoveDotSegments(r.Path[0] == '/' ? r.Path : MergeUriPaths(b, r.Path));
                t.HasQuery = r.HasQuery;
                t.Query = r.Query;
            }
        }
    }
    t.HasFragment = r.HasFragment;
    t.Fragment = r.Fragment;
    return JoinUri(t);
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

std::string HeadFieldValue(const std::string& rawHead, const std::string& name) {
    size_t end = rawHead.find('\n');  // the end of the status line
    while (end != std::string::npos && end + 1 < rawHead.size()) {
        size_t begin = end + 1;
        end = rawHead.find('\n', begin);
        std::string line = WithoutLineEnd(rawHead.substr(begin, end == std::string::npos ? end : end - begin + 1));
        std::string field, value;
        if (SplitHeaderField(line, field, value) && SameText(TrimBlanks(field), name)) return TrimBlanks(value);
    }
    return std::string();
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

bool ListHasToken(const std::string& value, const std::string& token) {
    for (size_t start = 0; start <= value.size();) {
        size_t comma = value.find(',', start);
        if (comma == std::string::npos) comma = value.size();
        if (SameText(TrimBlanks(value.substr(start, comma - start)), token)) return true;
        start = comma + 1;
    }
    return false;
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
