// HttpUtils: the HTTP client's free routines (see HttpUtils.h).
//
// SplitUrl is a pipeline of small steps: relative forms first, then the scheme, then the
// path, then the authority (split by the steps shared with the other address readers in
// platform/httpwire). Base64 and the control-byte check are the shared ones too. Positions inside follow std::string (0-based); the interfaces
// that return positions (PosNth) use the run-time library's 1-based convention.
#include "net/http/HttpUtils.h"

#include "platform/httpwire/HttpWire.h"
#include "platform/rtl/SysUtils.h"

#include <cmath>
#include <cstdio>

// ---- SplitUrl -----------------------------------------------------------------------

// The base cut after its last "/", or "/" when it has none.
static std::string CutAfterLastSlash(const std::string& base) {
    size_t slash = base.rfind('/');
    if (slash == std::string::npos) return "/";
    return base.substr(0, slash + 1);
}

// "../x" against Base: each "../" climbs one folder above the base's own folder.
static std::string ResolveParent(const std::string& base, const std::string& url) {
    std::string dir = CutAfterLastSlash(base);
    std::string rest = url.substr(3);
    for (;;) {
        if (!dir.empty() && dir.back() == '/') dir.pop_back();
        dir = CutAfterLastSlash(dir);
        if (rest.compare(0, 3, "../") != 0) break;
        rest.erase(0, 3);
    }
    return dir + rest;
}

void SplitUrl(const std::string& Url, std::string& Proto, std::string& User,
              std::string& Pass, std::string& Host, std::string& Port, std::string& Path) {
    const std::string base = Path;
    Proto.clear(); User.clear(); Pass.clear(); Host.clear(); Port.clear(); Path.clear();
    if (Url.empty()) return;

    if (Url.compare(0, 2, "./") == 0) {
        Path = CutAfterLastSlash(base) + Url.substr(2);
        return;
    }
    if (Url.compare(0, 3, "../") == 0) {
        Path = ResolveParent(base, Url);
        return;
    }

    // The scheme decides where the rest (authority and path) begins.
    std::string rest;
    size_t scheme = Url.find("://");
    if (scheme != std::string::npos) {
        Proto = Url.substr(0, scheme);
        rest = Url.substr(scheme + 3);
    } else if (Url[0] == '/') {
        Proto = "http";
        if (Url.size() > 1 && Url[1] != '/') {
            Path = Url;
            return;
        }
        rest = Url.substr(1);
    } else if (LowerCase(Url.substr(0, 5)) == "http:") {
        Proto = "http";
        if (Url.size() > 6 && Url[6] != '/') {
            Path = Url.substr(5);
            return;
        }
        rest = Url.size() > 6 ? Url.substr(6) : std::string();
    } else if (LowerCase(Url.substr(0, 7)) == "mailto:") {
        Proto = "mailto";
        rest = Url.substr(Url.find(':') + 1);
    } else {
        rest = Url;
    }

    // The path begins at the first "/" or "?"; the query stays in it. The authority is
    // split by the shared steps: user info before the last "@" (user and password at its
    // first ":"), the port after the last ":" of the rest, all as written.
    size_t pathStart = rest.find_first_of("/?");
    std::string authority = rest.substr(0, pathStart);
    if (pathStart != std::string::npos) Path = rest.substr(pathStart);
    std::string userInfo, hostPort;
    httpwire::SplitAuthority(authority, userInfo, hostPort);
    httpwire::SplitHostPortText(hostPort, Host, Port);
    httpwire::SplitUserInfo(userInfo, User, Pass);
}

// ---- encoders -----------------------------------------------------------------------

// UU alphabet: the grave accent for 0, then "!" .. "_" for 1 .. 63.
static char UUChar(unsigned v) { return v == 0 ? '`' : char('!' + v - 1); }

// Encodes whole groups of three bytes (the input padded with zero bytes) as UU characters.
static void EncodeUUGroups(const unsigned char* p, size_t count, std::string& out) {
    for (size_t i = 0; i < count; i += 3) {
        unsigned b0 = p[i];
        unsigned b1 = i + 1 < count ? p[i + 1] : 0;
        unsigned b2 = i + 2 < count ? p[i + 2] : 0;
        unsigned group = (b0 << 16) | (b1 << 8) | b2;
        out += UUChar((group >> 18) & 63);
        out += UUChar((group >> 12) & 63);
        out += UUChar((group >> 6) & 63);
        out += UUChar(group & 63);
    }
}

std::string EncodeBuffer(TEncoding Encoding, const void* Buffer, size_t Count) {
    if (Encoding != encUULine) return httpwire::Base64(Buffer, Count);
    // The length character: ((count - 1) mod 64) + 33, so 32 for an empty line.
    std::string out(1, char(((int64_t(Count) - 1) % 64) + 33));
    EncodeUUGroups(static_cast<const unsigned char*>(Buffer), Count, out);
    return out;
}

std::string EncodeText(TEncoding Encoding, const std::string& Text) {
    return EncodeBuffer(Encoding, Text.data(), Text.size());
}

// ---- dates --------------------------------------------------------------------------

static const char DayNames[] = "MonTueWedThuFriSatSun";
static const char MonthNames[] = "JanFebMarAprMayJunJulAugSepOctNovDec";

// Day 0 of TDateTime (1899-12-30) counted from 1970-01-01.
static const int64_t DateDelta = -25569;

// Days since 1970-01-01 to a civil date (proleptic Gregorian calendar).
static void CivilFromDays(int64_t z, int& y, int& m, int& d) {
    z += 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    d = int(doy - (153 * mp + 2) / 5 + 1);
    m = int(mp < 10 ? mp + 3 : mp - 9);
    y = int(yoe + era * 400 + (m <= 2 ? 1 : 0));
}

static int64_t DaysFromCivil(int y, int m, int d) {
    y -= m <= 2 ? 1 : 0;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t yoe = y - era * 400;
    int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

TDateTime EncodeDateTime(int Year, int Month, int Day, int Hour, int Min, int Sec) {
    double days = double(DaysFromCivil(Year, Month, Day) - DateDelta);
    return days + (Hour * 3600.0 + Min * 60.0 + Sec) / 86400.0;
}

std::string FormatHttpDate(TDateTime DateTime) {
    // Years 1 to 9999 only; anything else (NaN included) is clamped rather than
    // converted to an integer out of range.
    const double lowest = -693593.0, highest = 2958465.0;
    if (!(DateTime >= lowest)) DateTime = lowest;
    if (DateTime > highest) DateTime = highest;
    // The time of day is rounded to milliseconds first, as the run-time library does, so
    // that 12:34:07 stored as a fraction does not come back as 12:34:06.
    int64_t ms = int64_t(std::llround(DateTime * 86400000.0));
    int64_t days = ms >= 0 ? ms / 86400000 : -((-ms + 86399999) / 86400000);
    int64_t msOfDay = ms - days * 86400000;
    int y = 0, m = 0, d = 0;
    CivilFromDays(days + DateDelta, y, m, d);
    int64_t secs = msOfDay / 1000;
    int weekday = int(((days - 2) % 7 + 7) % 7);
    char text[64];
    std::snprintf(text, sizeof text, "%.3s, %2.2d %.3s %4.4d %2.2d:%2.2d:%2.2d",
                  DayNames + weekday * 3, d, MonthNames + (m - 1) * 3, y, int(secs / 3600),
                  int(secs / 60 % 60), int(secs % 60));
    return text;
}

// ---- searching ----------------------------------------------------------------------

size_t PosNth(const std::string& Pattern, const std::string& Text, int N) {
    if (N == 0) return 0;
    if (N > 0) {
        size_t found = 0;  // 1-based position of the last find
        for (int i = 0; i < N; ++i) {
            size_t p = Pattern.empty() ? std::string::npos : Text.find(Pattern, found);
            if (p == std::string::npos) return Text.size() + size_t(N - i);
            found = p + 1;
        }
        return found;
    }
    // From the right: the find in the tail beginning at Start changes exactly when the
    // pattern occurs at Start, so counting occurrences from the end gives the same result
    // as searching every tail.
    if (Pattern.empty() || Pattern.size() > Text.size()) return 0;
    int wanted = -N;
    for (size_t start = Text.size() - Pattern.size() + 1; start-- > 0;) {
        if (Text.compare(start, Pattern.size(), Pattern) == 0 && --wanted == 0) return start + 1;
    }
    return 0;
}

void SetDocExt(std::string& FileName, const std::string& Ext) {
    size_t p = PosNth(".", FileName, -1);
    if (p > 0)
        FileName = FileName.substr(0, p) + Ext;
    else
        FileName += "." + Ext;
}
