// SiteRange: answers for a stored entity (a photo, a text), with byte ranges and
// validators, as a static file server gives them.
//
// An entity has bytes, a content type, a strong ETag (a quoted hash of the bytes) and a
// fixed Last-Modified date. A GET or HEAD gets 200 with the whole entity, or, when the
// range is honoured, 206 with "Content-Range: bytes FIRST-LAST/TOTAL" for one range
// ("bytes=N-", "bytes=N-M", "bytes=-SUFFIX"), or 416 with "Content-Range: bytes */TOTAL"
// when the range starts at or beyond the end. An If-Range that is neither the ETag nor
// the Last-Modified date exactly (a weak tag never matches) gets the whole entity, and so
// does a Range header that is not one well-formed byte range (RFC 9110 lets a server
// ignore it). Every answer carries the ETag and Last-Modified.
#pragma once

#include "demo/SiteHttp.h"

#include <cstdint>
#include <memory>
#include <string>

struct TSiteEntity {
    std::shared_ptr<const std::string> Bytes;
    std::string ContentType;
    std::string ETag;          // with its quotes
    std::string LastModified;  // an HTTP date
};

// The Last-Modified date of every entity of the site.
extern const char* const EntityLastModified;

// An entity of Bytes with an ETag computed from them (ContentETag).
TSiteEntity MakeEntity(std::shared_ptr<const std::string> bytes, const std::string& contentType);
// A quoted 64-bit FNV-1a hash of the bytes in hexadecimal: "\"0123456789abcdef\"".
std::string ContentETag(const std::string& bytes);

// One byte range of a Range header value against an entity of Size bytes.
struct TByteRange {
    enum TKind { Ignore, Satisfiable, Unsatisfiable };
    TKind Kind = Ignore;
    uint64_t First = 0, Last = 0;  // inclusive, when Satisfiable
};
TByteRange ParseByteRange(const std::string& value, uint64_t size);

// The answer to Request for Entity; Range and If-Range are looked at only when
// HonourRange is set (otherwise "Accept-Ranges: none" and always 200).
TSiteResponse EntityResponse(const TSiteRequest& request, const TSiteEntity& entity, bool honourRange);
