// HttpUtils: the HTTP client's free routines: the URL splitter, the Base64 / UU encoders
// of Basic credentials, the If-Modified-Since date text, a search for the n-th occurrence
// of a text and the file-extension replacer.
//
// All work on byte strings with 1-based positions (the run-time library's convention),
// keep no state and allocate only their results. Nothing here validates, lower-cases or
// unescapes: callers supply defaults (port "80", protocol "http") themselves.
// Included through HttpProt.h; tested by tests/net/http/HttpUtilsTest.cpp.
#pragma once

#include "platform/httpwire/HttpWire.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Days since 1899-12-30, the fraction being the time of day (the run-time library's date).
using TDateTime = double;

// Selector of EncodeBuffer. encBase64 and encBase64Alt produce the same text.
enum TEncoding : uint8_t {
    encUULine = 0,     // one UU-encoded line: length character, then 4 characters per 3 bytes
    encBase64 = 1,     // standard Base64 with "=" padding, no line breaks
    encBase64Alt = 2,  // the same as encBase64
};

// Splits Url into its parts. On entry Path holds the base that "./" and "../" forms are
// resolved against; on return every output holds the part found, empty when absent.
// A bare word comes back as the host; the query stays inside the path.
void SplitUrl(const std::string& Url, std::string& Proto, std::string& User,
              std::string& Pass, std::string& Host, std::string& Port, std::string& Path);

// The encoded form of Count bytes at Buffer (see TEncoding).
std::string EncodeBuffer(TEncoding Encoding, const void* Buffer, size_t Count);
// EncodeBuffer over the bytes of Text.
std::string EncodeText(TEncoding Encoding, const std::string& Text);

// "Mon, 01 Jan 2001 12:34:07": day name, day, month name, year and time of DateTime,
// seconds truncated, no zone and no conversion (the caller appends " GMT").
std::string FormatHttpDate(TDateTime DateTime);
// The date-time value of a calendar date and time (the inverse used by callers and tests).
TDateTime EncodeDateTime(int Year, int Month, int Day, int Hour = 0, int Min = 0, int Sec = 0);

// 1-based position of the N-th occurrence of Pattern in Text. N > 0 counts from the left;
// with fewer than N occurrences the result is Text's length plus the number missing (a
// position beyond the text, which callers take as not found). N < 0 counts from the right
// (-1: the last occurrence), 0 when there are fewer. N = 0 gives 0.
size_t PosNth(const std::string& Pattern, const std::string& Text, int N);

// Replaces the extension of FileName (the part after its last ".") with Ext, or appends
// "." + Ext when the name has no dot.
void SetDocExt(std::string& FileName, const std::string& Ext);

// HasControlBytes(Text): true when Text holds a byte below 32 or the byte 127 (a tab
// included): such a value must never reach a request line or header, where a CR or LF
// would let it add lines of its own.
using httpwire::HasControlBytes;
