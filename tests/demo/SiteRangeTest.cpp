// Demo site entities: byte ranges, If-Range and validators.
#include "demo/SiteRange.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(SiteRange, ParsesOneByteRange) {
    using K = TByteRange;
    struct TCase { std::string value; uint64_t size; TByteRange::TKind kind; uint64_t first, last; };
    const TCase cases[] = {
        {"bytes=0-", 100, K::Satisfiable, 0, 99},
        {"bytes=40-", 100, K::Satisfiable, 40, 99},
        {"bytes=99-", 100, K::Satisfiable, 99, 99},
        {"bytes=100-", 100, K::Unsatisfiable, 0, 0},
        {"bytes=5000-", 100, K::Unsatisfiable, 0, 0},
        {"bytes=10-19", 100, K::Satisfiable, 10, 19},
        {"bytes=10-500", 100, K::Satisfiable, 10, 99},
        {"bytes=-30", 100, K::Satisfiable, 70, 99},
        {"bytes=-300", 100, K::Satisfiable, 0, 99},
        {"bytes=-0", 100, K::Unsatisfiable, 0, 0},
        {"bytes=0-", 0, K::Unsatisfiable, 0, 0},
        {" bytes=7- ", 100, K::Satisfiable, 7, 99},
        {"BYTES=7-", 100, K::Satisfiable, 7, 99},
        // Not one well-formed byte range: ignored, the whole entity is sent.
        {"bytes=20-10", 100, K::Ignore, 0, 0},
        {"bytes=0-1,5-6", 100, K::Ignore, 0, 0},
        {"bytes=x-", 100, K::Ignore, 0, 0},
        {"bytes=-", 100, K::Ignore, 0, 0},
        {"bytes=1", 100, K::Ignore, 0, 0},
        {"items=1-", 100, K::Ignore, 0, 0},
        {"bytes=99999999999999999999-", 100, K::Ignore, 0, 0},
    };
    for (const TCase& c : cases) {
        TByteRange r = ParseByteRange(c.value, c.size);
        EXPECT_EQ(r.Kind, c.kind) << c.value;
        if (r.Kind == K::Satisfiable) {
            EXPECT_EQ(r.First, c.first) << c.value;
            EXPECT_EQ(r.Last, c.last) << c.value;
        }
    }
}

std::string Header(const TSiteResponse& r, const std::string& name) {
    for (const auto& h : r.Headers)
        if (h.first == name) return h.second;
    return "(none)";
}

TEST(SiteRange, AnswersByRangeAndIfRange) {
    std::string bytes;
    for (int i = 0; i < 1000; ++i) bytes += char('a' + i % 26);
    TSiteEntity e = MakeEntity(std::make_shared<const std::string>(bytes), "image/jpeg");
    ASSERT_EQ(e.ETag.size(), 18u);
    EXPECT_EQ(e.ETag.front(), '"');
    EXPECT_EQ(e.ETag, ContentETag(bytes));
    EXPECT_NE(e.ETag, ContentETag(bytes + "x"));
    EXPECT_EQ(e.LastModified, "Tue, 04 Jun 2024 08:00:00 GMT");

    struct TCase {
        std::string range, ifRange;
        bool honour;
        int status;
        std::string contentRange, body;
    };
    const TCase cases[] = {
        {"", "", true, 200, "(none)", bytes},
        {"bytes=990-", "", true, 206, "bytes 990-999/1000", bytes.substr(990)},
        {"bytes=990-", e.ETag, true, 206, "bytes 990-999/1000", bytes.substr(990)},
        {"bytes=990-", e.LastModified, true, 206, "bytes 990-999/1000", bytes.substr(990)},
        {"bytes=5-9", "", true, 206, "bytes 5-9/1000", bytes.substr(5, 5)},
        {"bytes=-3", "", true, 206, "bytes 997-999/1000", bytes.substr(997)},
        {"bytes=990-", "\"0000000000000000\"", true, 200, "(none)", bytes},  // changed entity
        {"bytes=990-", "W/" + e.ETag, true, 200, "(none)", bytes},              // weak: never matches
        {"bytes=990-", "Mon, 03 Jun 2024 08:00:00 GMT", true, 200, "(none)", bytes},
        {"bytes=1000-", "", true, 416, "bytes */1000", "416 Range Not Satisfiable\n"},
        {"bytes=1000-", "\"stale\"", true, 200, "(none)", bytes},  // If-Range first: the whole entity
        {"bytes=3-1", "", true, 200, "(none)", bytes},
        {"bytes=990-", "", false, 200, "(none)", bytes},  // a server that ignores Range
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.range + " / " + c.ifRange + (c.honour ? "" : " / ignored"));
        TSiteRequest q;
        q.Method = "GET";
        q.Path = "/photos/a/0.jpg";
        if (!c.range.empty()) q.Headers.emplace_back("Range", c.range);
        if (!c.ifRange.empty()) q.Headers.emplace_back("If-Range", c.ifRange);
        TSiteResponse r = EntityResponse(q, e, c.honour);
        EXPECT_EQ(r.Status, c.status);
        EXPECT_EQ(Header(r, "Content-Range"), c.contentRange);
        EXPECT_EQ(r.Body->substr(r.BodyStart), c.body);
        EXPECT_EQ(r.BodySize(), int64_t(c.body.size()));
        if (c.status != 416) {
            EXPECT_EQ(Header(r, "Content-Type"), "image/jpeg");
            EXPECT_EQ(Header(r, "ETag"), e.ETag);
            EXPECT_EQ(Header(r, "Last-Modified"), e.LastModified);
            EXPECT_EQ(Header(r, "Accept-Ranges"), c.honour ? "bytes" : "none");
        }
    }
}

}  // namespace
