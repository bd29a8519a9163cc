// commonFunc: file-name sanitiser, percent-encoders, album folder rules, the rules for
// what a site sends (addresses, picture signatures, Retry-After) and the scratch file
// name (see commonFunc.h).
#include "album/commonFunc.h"

#include "net/http/HttpUtils.h"
#include "platform/httpwire/HttpWire.h"
#include "platform/rtl/FileSys.h"
#include "platform/rtl/SysUtils.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

const char HexDigits[] = "0123456789ABCDEF";

void AppendPercent(std::string& out, unsigned char c) {
    out += '%';
    out += HexDigits[c >> 4];
    out += HexDigits[c & 0x0F];
}

bool IsUnsafeFileNameByte(unsigned char c) {
    if (c < 32 || c == 127) return true;
    switch (c) {
    case '*': case '?': case '"': case '/': case '\\': case '<': case '>': case '\'':
        return true;
    default:
        return false;
    }
}

bool IsUnreservedByte(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '.' || c == '_';
}

// True when the name would be read by the file system as "this folder" or "the parent"
// (or, with trailing blanks, is unusable as a visible name): empty, or dots and blanks only.
bool IsDotsOrBlanksOnly(const std::string& name) {
    return name.find_first_not_of(". ") == std::string::npos;
}

// Cuts Text to at most MaxBytes without splitting a UTF-8 sequence. A sequence is at most
// four bytes, so the cut moves back over at most three continuation bytes; a longer run
// of them is no character at all and is cut where it stands (moving back further would
// eat the whole name, or leave ".." of "..\x80\x80...").
std::string CutAtCharBoundary(const std::string& text, size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    size_t n = maxBytes;
    while (n > 0 && maxBytes - n < 3 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    if ((static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) n = maxBytes;
    return text.substr(0, n);
}

}  // namespace

std::string SafeFileName(const std::string& Name) {
    std::string result = Name;
    for (char& c : result)
        if (IsUnsafeFileNameByte(static_cast<unsigned char>(c))) c = '_';
    return result;
}

std::string UrlEncode(const std::string& Text, bool SpaceAsPlus) {
    std::string result;
    result.reserve(Text.size());
    for (char ch : Text) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (IsUnreservedByte(c)) {
            result += ch;
        } else if (c == ' ') {
            result += SpaceAsPlus ? "+" : "%20";
        } else {
            AppendPercent(result, c);
        }
    }
    return result;
}

std::string AlbumFolderName(const std::string& SafeTitle, const std::string& AlbumId) {
    // Sanitise again: the rule must hold whatever the caller passed in. The dots-and-blanks
    // test looks at the name after cutting, since a cut can leave "." or "..".
    std::string name = CutAtCharBoundary(SafeFileName(SafeTitle), MaxFolderNameBytes);
    if (IsDotsOrBlanksOnly(name))
        name = CutAtCharBoundary("album_" + SafeFileName(AlbumId), MaxFolderNameBytes);
    return name;
}

std::string AlbumBaseFolder(const std::string& ProgramDir, const std::string& Fallback) {
    return FolderWritable(ProgramDir) ? ProgramDir : Fallback;
}

bool FolderWritable(const std::string& Dir) {
    return DirectoryExists(Dir) && access(Dir.c_str(), W_OK | X_OK) == 0;
}

std::string ScratchFileName() { return PrivateTempDir() + "1.txt"; }

// ==== what a site sends =====================================================================

std::string EncodeRequestBytes(const std::string& Text) {
    std::string result;
    result.reserve(Text.size());
    for (char ch : Text) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c <= ' ' || c >= 127 || c == '#') AppendPercent(result, c);
        else result += ch;
    }
    return result;
}

std::string UrlScheme(const std::string& Url) { return httpwire::SchemeOf(Url); }

bool IsFetchableAddress(const std::string& Url) {
    const std::string scheme = UrlScheme(Url);
    return !httpwire::HasControlBytes(Url, false) && (scheme == "http" || scheme == "https");
}

namespace {

// The scheme (lower case), host and port of Url as the HTTP client splits it.
void SplitSite(const std::string& Url, std::string& scheme, std::string& host, std::string& port) {
    std::string user, password, path;
    SplitUrl(Url, scheme, user, password, host, port, path);
    scheme = scheme.empty() ? std::string("http") : LowerCase(scheme);
}

}  // namespace

std::string AddressSite(const std::string& Url) {
    std::string scheme, host, port;
    SplitSite(Url, scheme, host, port);
    if (host.empty()) return std::string();
    return scheme + "://" + host + (port.empty() ? "" : ":" + port);
}

std::string AddressHostPort(const std::string& Url) {
    std::string scheme, host, port;
    SplitSite(Url, scheme, host, port);
    if (host.empty()) return std::string();
    return host + ":" + (port.empty() ? (scheme == "https" ? "443" : "80") : port);
}

bool HasPictureSignature(const std::string& Head) {
    auto starts = [&Head](const char* sig, size_t n, size_t at = 0) {
        return Head.size() >= at + n && std::memcmp(Head.data() + at, sig, n) == 0;
    };
    return starts("\xFF\xD8\xFF", 3) || starts("\x89PNG\r\n\x1A\n", 8) || starts("GIF87a", 6) ||
           starts("GIF89a", 6) || (starts("RIFF", 4) && starts("WEBP", 4, 8));
}

bool FileHasPictureSignature(const std::string& FileName) {
    FILE* f = std::fopen(FileName.c_str(), "rb");
    if (!f) return false;
    char head[PictureSignatureBytes];
    size_t n = std::fread(head, 1, sizeof head, f);
    std::fclose(f);
    return HasPictureSignature(std::string(head, n));
}

bool HasPictureEnd(const std::string& Head, const std::string& Tail, int64_t FileSize) {
    auto starts = [&Head](const char* sig, size_t n) { return Head.size() >= n && std::memcmp(Head.data(), sig, n) == 0; };
    auto ends = [&Tail](const char* sig, size_t n) {
        return Tail.size() >= n && std::memcmp(Tail.data() + Tail.size() - n, sig, n) == 0;
    };
    if (!HasPictureSignature(Head)) return false;
    if (starts("\xFF\xD8\xFF", 3)) {
        // Some encoders pad the file with zero bytes after the end marker.
        size_t end = Tail.find_last_not_of('\0');
        return end != std::string::npos && end >= 1 && Tail[end] == '\xD9' && Tail[end - 1] == '\xFF';
    }
    if (starts("\x89PNG", 4)) return ends("\0\0\0\0IEND\xAE\x42\x60\x82", 12);
    if (starts("GIF8", 4)) return ends("\x3B", 1);
    // WebP: the RIFF length counts the bytes after its first eight; a pad byte may follow.
    uint32_t riff = uint32_t(uint8_t(Head[4])) | uint32_t(uint8_t(Head[5])) << 8 | uint32_t(uint8_t(Head[6])) << 16 |
                    uint32_t(uint8_t(Head[7])) << 24;
    return FileSize >= int64_t(riff) + 8;
}

bool FileIsWholePicture(const std::string& FileName) {
    constexpr size_t TailBytes = 4096;
    FILE* f = std::fopen(FileName.c_str(), "rb");
    if (!f) return false;
    char head[PictureSignatureBytes];
    size_t n = std::fread(head, 1, sizeof head, f);
    std::string tail(TailBytes, '\0');
    int64_t size = -1;
    if (std::fseek(f, 0, SEEK_END) == 0) size = std::ftell(f);
    size_t from = size > int64_t(TailBytes) ? size_t(size) - TailBytes : 0;
    size_t got = size >= 0 && std::fseek(f, long(from), SEEK_SET) == 0 ? std::fread(&tail[0], 1, TailBytes, f) : 0;
    std::fclose(f);
    tail.resize(got);
    return size >= 0 && HasPictureEnd(std::string(head, n), tail, size);
}

namespace {

int MonthNumber(const std::string& name) {
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int m = 0; m < 12; m++)
        if (name == months[m]) return m;
    return -1;
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

bool DateFields(int year, const std::string& month, int day, int h, int mi, int s, int64_t& out) {
    int m = MonthNumber(month);
    if (m < 0 || day < 1 || day > 31 || h > 23 || mi > 59 || s > 60 || year < 1970) return false;
    out = DaysFromCivil(year, m + 1, day) * 86400 + h * 3600 + mi * 60 + s;
    return true;
}

}  // namespace

bool ParseHttpDate(const std::string& Text, int64_t& UnixSeconds) {
    char wday[16] = {}, month[4] = {}, zone[4] = {};
    int day = 0, year = 0, h = 0, mi = 0, s = 0, used = 0;
    const char* t = Text.c_str();
    // IMF-fixdate: "Sun, 06 Nov 1994 08:49:37 GMT"
    if (std::sscanf(t, "%3[A-Za-z], %2d %3[A-Za-z] %4d %2d:%2d:%2d %3[A-Z]%n", wday, &day, month, &year, &h, &mi,
                    &s, zone, &used) == 8 && t[used] == '\0' && std::strcmp(zone, "GMT") == 0)
        return DateFields(year, month, day, h, mi, s, UnixSeconds);
    // RFC 850: "Sunday, 06-Nov-94 08:49:37 GMT" (two-digit years below 70 are 20xx)
    if (std::sscanf(t, "%15[A-Za-z], %2d-%3[A-Za-z]-%2d %2d:%2d:%2d %3[A-Z]%n", wday, &day, month, &year, &h, &mi,
                    &s, zone, &used) == 8 && t[used] == '\0' && std::strcmp(zone, "GMT") == 0)
        return DateFields(year + (year < 70 ? 2000 : 1900), month, day, h, mi, s, UnixSeconds);
    // asctime: "Sun Nov  6 08:49:37 1994"
    if (std::sscanf(t, "%3[A-Za-z] %3[A-Za-z] %2d %2d:%2d:%2d %4d%n", wday, month, &day, &h, &mi, &s, &year,
                    &used) == 7 && t[used] == '\0')
        return DateFields(year, month, day, h, mi, s, UnixSeconds);
    return false;
}

int64_t RetryAfterMs(const std::string& Value, const std::string& DateHeader, int64_t NowUnixSeconds) {
    size_t b = Value.find_first_not_of(" \t"), e = Value.find_last_not_of(" \t");
    if (b == std::string::npos) return -1;
    std::string v = Value.substr(b, e - b + 1);
    if (v.find_first_not_of("0123456789") == std::string::npos) {
        // Seconds; anything of more than 5 digits is over the bound anyway.
        int64_t seconds = v.size() > 5 ? MaxRetryAfterMs : std::stoll(v);
        return std::min<int64_t>(seconds * 1000, MaxRetryAfterMs);
    }
    int64_t at = 0, now = 0;
    if (!ParseHttpDate(v, at)) return -1;
    if (!ParseHttpDate(DateHeader, now)) now = NowUnixSeconds;
    return std::max<int64_t>(0, std::min<int64_t>((at - now) * 1000, MaxRetryAfterMs));
}

bool WorthResuming(const std::string& RawHead) {
    // A transfer coding decides over any length (and without chunks last, the body ends at
    // the close).
    std::string codings = httpwire::HeadFieldValue(RawHead, "Transfer-Encoding");
    if (!codings.empty()) return httpwire::ChunkedIsFinal(codings);
    std::string value = httpwire::HeadFieldValue(RawHead, "Content-Length");
    int64_t length = -1;
    if (value.empty()) return false;
    return !httpwire::ParseContentLength(value, length) || length >= ResumeWorthBytes;
}

std::string ResumeValidator(const std::string& RawHead) {
    std::string etag = httpwire::HeadFieldValue(RawHead, "ETag");
    if (etag.size() >= 2 && etag.front() == '"' && etag.back() == '"') return etag;  // strong: not W/"..."
    return httpwire::HeadFieldValue(RawHead, "Last-Modified");
}
