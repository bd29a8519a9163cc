// SiteRange: entity answers with byte ranges and validators (see SiteRange.h).
#include "demo/SiteRange.h"

#include "platform/rtl/SysUtils.h"

#include <cstdio>

const char* const EntityLastModified = "Tue, 04 Jun 2024 08:00:00 GMT";

std::string ContentETag(const std::string& bytes) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
    char text[24];
    std::snprintf(text, sizeof text, "\"%016llx\"", static_cast<unsigned long long>(h));
    return text;
}

TSiteEntity MakeEntity(std::shared_ptr<const std::string> bytes, const std::string& contentType) {
    TSiteEntity e;
    e.ETag = ContentETag(*bytes);
    e.Bytes = std::move(bytes);
    e.ContentType = contentType;
    e.LastModified = EntityLastModified;
    return e;
}

namespace {

// A run of decimal digits that fits in 63 bits; false otherwise.
bool ParseNumber(const std::string& text, uint64_t* value) {
    if (text.empty() || text.size() > 18) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + uint64_t(c - '0');
    }
    *value = v;
    return true;
}

}  // namespace

TByteRange ParseByteRange(const std::string& value, uint64_t size) {
    TByteRange r;
    std::string v = Trim(value);
    if (!StartsText("bytes=", v)) return r;
    std::string set = Trim(v.substr(6));
    size_t dash = set.find('-');
    if (dash == std::string::npos || set.find(',') != std::string::npos) return r;
    std::string first = Trim(set.substr(0, dash)), last = Trim(set.substr(dash + 1));
    uint64_t a = 0, b = 0;
    if (first.empty()) {  // the last B bytes
        if (!ParseNumber(last, &b)) return r;
        if (b == 0 || size == 0) {
            r.Kind = TByteRange::Unsatisfiable;
            return r;
        }
        r.Kind = TByteRange::Satisfiable;
        r.First = b >= size ? 0 : size - b;
        r.Last = size - 1;
        return r;
    }
    if (!ParseNumber(first, &a)) return r;
    if (!last.empty() && (!ParseNumber(last, &b) || b < a)) return r;
    if (a >= size) {
        r.Kind = TByteRange::Unsatisfiable;
        return r;
    }
    r.Kind = TByteRange::Satisfiable;
    r.First = a;
    r.Last = last.empty() || b >= size ? size - 1 : b;
    return r;
}

TSiteResponse EntityResponse(const TSiteRequest& request, const TSiteEntity& entity, bool honourRange) {
    TSiteResponse r;
    r.Headers.emplace_back("Content-Type", entity.ContentType);
    r.Headers.emplace_back("Accept-Ranges", honourRange ? "bytes" : "none");
    r.Headers.emplace_back("ETag", entity.ETag);
    r.Headers.emplace_back("Last-Modified", entity.LastModified);
    r.Body = entity.Bytes;
    const uint64_t size = entity.Bytes ? entity.Bytes->size() : 0;
    const std::string range = request.Header("Range");
    if (!honourRange || range.empty()) return r;
    const std::string ifRange = Trim(request.Header("If-Range"));
    if (!ifRange.empty() && ifRange != entity.ETag && ifRange != entity.LastModified) return r;
    TByteRange br = ParseByteRange(range, size);
    const std::string total = std::to_string(size);
    if (br.Kind == TByteRange::Unsatisfiable) {
        TSiteResponse u = PlainErrorResponse(416);
        u.Headers.emplace_back("Content-Range", "bytes */" + total);
        return u;
    }
    if (br.Kind == TByteRange::Ignore) return r;
    r.Status = 206;
    r.Reason = ReasonPhrase(206);
    r.Headers.emplace_back("Content-Range", "bytes " + std::to_string(br.First) + "-" +
                                                std::to_string(br.Last) + "/" + total);
    if (br.Last + 1 < size) {
        // An inner range: the slice is a copy (the shared bytes run to the end).
        r.Body = std::make_shared<const std::string>(entity.Bytes->substr(br.First, br.Last - br.First + 1));
    } else {
        r.BodyStart = size_t(br.First);
    }
    return r;
}
