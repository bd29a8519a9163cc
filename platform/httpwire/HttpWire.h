// HttpWire: the HTTP/1.x wire rules that the HTTP client (net/http) and the internet
// library (platform/wininet) share, so that both read a response, an address and a
// Location the same way: texts that may go into a request, Base64, the parts of an
// address and of an authority, Location values and the paths they lead to, the status
// line, and the header lines of a response head (THeadRules). Chunked transfer coding is
// in HttpChunk.h.
//
// Everything here works on byte strings, throws nothing and keeps no state beyond one
// THeadRules object's head. Verdicts are the unit's own; each caller maps them onto its
// own errors (EHttpException codes in the client, ERROR_* numbers in the internet
// library). Tested by tests/platform/httpwire.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace httpwire {

// ==== texts ===================================================================================

// True when Text holds a byte below 32 or the byte 127 (a tab counts only without
// AllowTab). Such a value must never reach a request line or header, where a CR or LF
// would let it add lines of its own.
bool HasControlBytes(const std::string& text, bool allowTab = false);

// Line without its LF and without a CR directly before it (lines of a response may end
// in CR LF or in LF alone).
std::string WithoutLineEnd(const std::string& line);

// Standard Base64 (RFC 4648 alphabet, "=" padding, no line breaks) of Count bytes.
std::string Base64(const void* data, size_t count);
inline std::string Base64(const std::string& bytes) { return Base64(bytes.data(), bytes.size()); }

// ==== authorities ===============================================================================

// "userinfo@hostport" split at the last "@"; UserInfo is empty without one.
void SplitAuthority(const std::string& authority, std::string& userInfo, std::string& hostPort);
// "user:password" split at the first ":"; Password is empty without one.
void SplitUserInfo(const std::string& userInfo, std::string& user, std::string& password);
// "host:port" split at the last ":", both as written; Port is empty without a ":".
void SplitHostPortText(const std::string& hostPort, std::string& host, std::string& port);

// "host[:port]", checked: the host (a name or dotted address) not empty and without a
// control byte, blank, or any of : / ? # @; a port written as one to five decimal digits
// with a value from 1 to 65535. Port is DefaultPort without a ":".
bool SplitHostPort(const std::string& text, uint16_t defaultPort, std::string& host, uint16_t& port);

// ==== references and addresses =====================================================================

// The parts of a URI reference (RFC 3986 section 3) as written; the fragment is dropped.
struct TReference {
    std::string Scheme;         // lower-cased; empty when the reference names none
    bool HasAuthority = false;  // "//" came where the authority may begin
    std::string Authority;      // between "//" and the path
    std::string Path;           // the path with its query
};

// Splits Ref. A scheme is letters, digits, "+", "-" and "." after a first letter, ended
// by the ":" that comes before any "/", "?" or "#"; "name:digits" (up to the end or a
// "/", "?" or "#") is a host and port, not a scheme, so "localhost:8080/x" has none.
void SplitReference(const std::string& ref, TReference& out);
// The scheme of Url as SplitReference reads it ("" when it has none).
std::string SchemeOf(const std::string& url);
// The scheme of Url when it names one other than http ("https", "ftp", ...); "" for an
// http address or one without a scheme. Nothing may be sent for such an address: it is
// meant for another protocol (TLS above all) and would go out in clear.
std::string ForeignScheme(const std::string& url);
// Url without a leading "http://" (in any case).
std::string AfterHttpScheme(const std::string& url);

// An absolute http address, checked.
struct THttpUrl {
    std::string UserInfo;    // before the "@", as written
    std::string Host;
    uint16_t Port = 80;
    std::string Target;      // path and query, "/" when empty; never the fragment
};
// "http://[userinfo@]host[:port][/path][?query][#fragment]" (the scheme in any case).
// False for another scheme, no authority, or a host or port that SplitHostPort refuses.
bool ParseHttpUrl(const std::string& url, THttpUrl& out);

// What may be done with the value of a Location header.
enum TLocationVerdict {
    lvFollow,             // an http target: Ref says where
    lvUnsupportedScheme,  // another scheme (Ref.Scheme names it): never followed
    lvInvalid,            // empty, or holds a control byte
};
// Reads a Location value: blanks around it are dropped; a network-path reference
// ("//host/path") keeps the scheme http; "http:" without an authority ("http:/x") is
// read as the reference after the scheme (the non-strict reading of RFC 3986 5.2.2).
// On lvFollow, Ref.Scheme is "http" or empty.
TLocationVerdict ReadLocation(const std::string& value, TReference& ref);

// The path that Relative (a reference without scheme and authority, not beginning with
// "/") leads to from BasePath (RFC 3986 5.2.2 and 5.3): a query alone replaces the base's
// query, an empty reference is the base itself, anything else replaces the base's last
// segment; "." and ".." segments are then resolved. An empty base counts as "/".
std::string MergePath(const std::string& basePath, const std::string& relative);

// The target of Reference resolved against the absolute address Base, as RFC 3986
// section 5.2 resolves a URI reference: "." and ".." segments removed, the base's query
// kept only for a reference that has neither path nor query, the reference's fragment
// kept (the base's dropped). Both are read by the RFC's own grammar (appendix B), with
// no "host:port" exception. Strict false takes a reference whose scheme equals the base's
// as relative ("http:g" from an http base is "g"), the reading of the RFC's non-strict
// parsers; strict keeps it absolute.
std::string ResolveReference(const std::string& base, const std::string& reference, bool strict = true);

// ==== response heads ===============================================================================

// The longest framing line (a chunk-size or trailer line) with its line end, and the
// longest header line the HTTP client takes.
constexpr size_t MaxLineBytes = 8192;

// Empty lines accepted before a status line (also after an interim answer); one more
// makes the head invalid, so a stream of empty lines cannot keep a request waiting.
constexpr int MaxLeadingEmptyLines = 4;

// "HTTP/1.x NNN [reason]".
struct TStatusLine {
    std::string Version;  // "HTTP/1.1"
    int Status = 0;       // 100 to 999
    std::string Reason;   // after the blank that follows the code, as written
};
// Parses a status line without its line end: "HTTP/1." and a digit, one blank, three
// digits of which the first is not 0, then the end or a blank and the reason.
bool ParseStatusLine(const std::string& line, TStatusLine& out);

// "name: value": Name is everything before the first ":", Value everything after it, both
// as written. False without a ":".
bool SplitHeaderField(const std::string& line, std::string& name, std::string& value);
// The value of the first header line called Name (any case) in a raw response head (the
// status line first, then lines ending in CR LF or LF), without the blanks around it; ""
// when the head has no such line. For heads kept as text after their transfer.
std::string HeadFieldValue(const std::string& rawHead, const std::string& name);
// A Content-Length value: decimal digits with optional blanks around them, at most
// 2^63 - 1. False for anything else (a sign, a list, an empty value, an overflow).
bool ParseContentLength(const std::string& value, int64_t& length);
// True when the comma-separated list Value (a Connection or Transfer-Encoding value)
// holds Token, compared without regard to case and without the blanks around items.
bool ListHasToken(const std::string& value, const std::string& token);
// True when "chunked" (any case) is the last coding of a Transfer-Encoding value.
bool ChunkedIsFinal(const std::string& codings);

// How the body of a response ends.
enum class TFraming {
    NoBody,      // an answer to HEAD, 1xx, 204 or 304: the message ends with its head
    Length,      // after Content-Length bytes
    Chunked,     // at the last chunk
    UntilClose,  // when the server closes
};
// The framing of a response (RFC 9112 6.3): a Transfer-Encoding decides over any
// Content-Length (chunked when it is the final coding, else until the close); then the
// length; else until the close.
TFraming FramingOf(int status, bool headRequest, bool hasTransferEncoding, bool chunked,
                   int64_t contentLength);

// What THeadRules made of one line of a response head.
enum THeadVerdict {
    hvSkipped,              // an empty line before the status line: ignored
    hvStatus,               // the status line: Status() describes it
    hvField,                // a line with a ":" (SplitHeaderField gives its parts)
    hvFold,                 // a line that begins with a blank: continues the field before it
    hvOther,                // a line without a ":"
    hvEnd,                  // the empty line that ends the head
    hvBadStatusLine,        // no status line where one belongs, too many empty lines
                            // before it, or a line beginning with a blank right after it
    hvBadContentLength,     // a Content-Length that ParseContentLength refuses, that
                            // differs from an earlier one, that is folded, or with
                            // blanks before its colon
    hvBadTransferEncoding,  // a Transfer-Encoding folded onto the next line, or with
                            // blanks before its colon
};

// The rules of one response head, applied line by line, with what they found out about
// its framing. Content-Length and Transfer-Encoding decide where the body ends, so they
// are held to the letter: folded onto a following line (obs-fold) or with blanks before
// their colon they make the head invalid, as a parser downstream could read them the
// other way and take a chunked body for a plain one or the reverse. Other fields may be
// folded; the caller joins or keeps such lines as it always did.
class THeadRules {
public:
    // Starts a new head (also the final one after an interim answer).
    void Reset();
    // Takes the next line of the head without its line end. After hvEnd, or a bad
    // verdict, the caller starts over with Reset().
    THeadVerdict Line(const std::string& line);

    bool SawStatusLine() const { return FSawStatus; }
    const TStatusLine& Status() const { return FStatus; }
    int64_t ContentLength() const { return FContentLength; }  // -1 when none
    bool HasTransferEncoding() const { return FHasTransferEncoding; }
    bool Chunked() const { return FChunked; }  // "chunked" ends the last Transfer-Encoding
    // FramingOf for this head's fields.
    TFraming Framing(int status, bool headRequest) const {
        return FramingOf(status, headRequest, FHasTransferEncoding, FChunked, FContentLength);
    }

private:
    // The field that a folded line would continue.
    enum TLastLine { llNone, llStatus, llPlain, llContentLength, llTransferEncoding };
    THeadVerdict FieldLine(const std::string& line);

    bool FSawStatus = false;
    int FEmptyLines = 0;
    TLastLine FLast = llNone;
    TStatusLine FStatus;
    int64_t FContentLength = -1;
    bool FHasTransferEncoding = false;
    bool FChunked = false;
};

}  // namespace httpwire
