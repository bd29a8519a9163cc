// SysUtils: number, text, code-page and string-resource helpers (see SysUtils.h).
#include "SysUtils.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

std::string IntToStr(int64_t value) { return std::to_string(value); }

static bool ParseInt(const std::string& text, int64_t& out) {
    std::string t = Trim(text);
    if (t.empty()) return false;
    size_t i = 0;
    bool negative = false;
    if (t[0] == '+' || t[0] == '-') { negative = t[0] == '-'; i = 1; }
    if (i >= t.size()) return false;
    uint64_t value = 0;
    for (; i < t.size(); ++i) {
        if (t[i] < '0' || t[i] > '9') return false;
        value = value * 10 + uint64_t(t[i] - '0');
        if (value > uint64_t(INT64_MAX) + (negative ? 1 : 0)) return false;
    }
    out = negative ? int64_t(0 - value) : int64_t(value);
    return true;
}

int64_t StrToInt(const std::string& text) {
    int64_t v = 0;
    if (!ParseInt(text, v)) throw EConvertError("'" + text + "' is not a valid integer value");
    return v;
}

int64_t StrToIntDef(const std::string& text, int64_t Default) {
    int64_t v = 0;
    return ParseInt(text, v) ? v : Default;
}

bool ReadBoundedNumber(const std::string& text, int low, int high, int& value) {
    // Nine digits stay below the range of int, so the value cannot overflow.
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    int64_t n = StrToIntDef(text, -1);
    if (n < low || n > high) return false;
    value = int(n);
    return true;
}

std::string TrimLeft(const std::string& text) {
    size_t b = 0;
    while (b < text.size() && (unsigned char)text[b] <= 32) ++b;
    return text.substr(b);
}

std::string TrimRight(const std::string& text) {
    size_t e = text.size();
    while (e > 0 && (unsigned char)text[e - 1] <= 32) --e;
    return text.substr(0, e);
}

std::string Trim(const std::string& text) { return TrimLeft(TrimRight(text)); }

char CharUpper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 32) : c; }
char CharLower(char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; }

void CharUpperBuffA(char* buffer, size_t length) {
    for (size_t i = 0; i < length; ++i) buffer[i] = CharUpper(buffer[i]);
}

void CharLowerBuffA(char* buffer, size_t length) {
    for (size_t i = 0; i < length; ++i) buffer[i] = CharLower(buffer[i]);
}

std::string UpperCase(const std::string& text) {
    std::string r = text;
    CharUpperBuffA(r.data(), r.size());
    return r;
}

std::string LowerCase(const std::string& text) {
    std::string r = text;
    CharLowerBuffA(r.data(), r.size());
    return r;
}

bool SameText(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (CharLower(a[i]) != CharLower(b[i])) return false;
    return true;
}

size_t Pos(const std::string& sub, const std::string& s) {
    if (sub.empty()) return 0;
    size_t p = s.find(sub);
    return p == std::string::npos ? 0 : p + 1;
}

bool StartsText(const std::string& prefix, const std::string& s) {
    return s.size() >= prefix.size() && SameText(prefix, s.substr(0, prefix.size()));
}

// Length of the valid UTF-8 sequence starting at p, or 0 when it is invalid.
static size_t ValidSequenceLength(const unsigned char* p, size_t avail) {
    unsigned char c = p[0];
    if (c < 0x80) return 1;
    size_t len;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) { len = 2; cp = c & 0x1F; }
    else if (c >= 0xE0 && c <= 0xEF) { len = 3; cp = c & 0x0F; }
    else if (c >= 0xF0 && c <= 0xF4) { len = 4; cp = c & 0x07; }
    else return 0;
    if (avail < len) return 0;
    for (size_t i = 1; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    if (len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) return 0;
    if (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) return 0;
    return len;
}

std::string Utf8ToAnsi(const std::string& utf8) {
    static const char kReplacement[] = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(utf8.size());
    const unsigned char* p = reinterpret_cast<const unsigned char*>(utf8.data());
    size_t n = utf8.size();
    for (size_t i = 0; i < n;) {
        size_t len = ValidSequenceLength(p + i, n - i);
        if (len == 0) {
            out += kReplacement;
            ++i;
        } else {
            out.append(utf8, i, len);
            i += len;
        }
    }
    return out;
}

std::string LoadStr(int ident) {
    switch (ident) {
    case SMainWindowTitle: return "Albrivo 相册下载器 KV1.0";
    default: return std::string();
    }
}
