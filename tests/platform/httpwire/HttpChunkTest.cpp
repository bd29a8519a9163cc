// Tests of chunked transfer coding: the chunk-size grammar as a table, and the decoder fed
// every case whole, split in two at every byte and byte by byte, which must all give the
// same body and the same end.
#include "platform/httpwire/HttpChunk.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace {

using httpwire::ParseChunkSizeLine;
using httpwire::TChunkDecoder;

TEST(HttpChunk, SizeLineGrammar) {
    const uint64_t most = uint64_t(std::numeric_limits<int64_t>::max());
    struct {
        std::string Line;
        bool Valid;
        uint64_t Size;
    } cases[] = {
        {"0", true, 0},
        {"5", true, 5},
        {"fF", true, 255},
        {"0000000000000000000005", true, 5},  // leading zeros count for nothing
        {"7fffffffffffffff", true, most},
        {"5;a", true, 5},
        {"5;a=b", true, 5},
        {"5 ;a", true, 5},
        {"5\t; a = b", true, 5},
        {"5;a=b;c;d=e", true, 5},
        {"5;a=b ;c", true, 5},
        {"5;a=\"\"", true, 5},
        {"5;a=\"x y;z\"", true, 5},
        {"5;a=\"q\\\"uote\\\\\"", true, 5},
        {"5;a=\"\xe4\"", true, 5},  // obs-text
        // Refused.
        {"", false, 0},
        {";a", false, 0},
        {" 5", false, 0},
        {"5 ", false, 0},
        {"5\t", false, 0},
        {"5;", false, 0},
        {"5; ", false, 0},
        {"5;=b", false, 0},
        {"5;a=", false, 0},
        {"5;a= ", false, 0},
        {"5;a ", false, 0},
        {"5;a b", false, 0},
        {"5;a=b c", false, 0},
        {"5;a=\"x", false, 0},
        {"5;a=\"x\\\"", false, 0},
        {"5;a=\"x\"y", false, 0},
        {"5;a=\"\x01\"", false, 0},
        {"5;a\x7f", false, 0},
        {"5\r", false, 0},
        {"5,a", false, 0},
        {"0x5", false, 0},
        {"-5", false, 0},
        {"+5", false, 0},
        {"g", false, 0},
        {"8000000000000000", false, 0},     // 2^63
        {"ffffffffffffffffff", false, 0},
        // Former bugs: accepted because anything after blanks or a ";" was.
        {"25  ", false, 0},
        {"2 erfrferferf", false, 0},
        {"5;a=\"b", false, 0},
    };
    for (const auto& c : cases) {
        uint64_t size = 12345;
        EXPECT_EQ(ParseChunkSizeLine(c.Line, size), c.Valid) << "[" << c.Line << "]";
        if (c.Valid) { EXPECT_EQ(size, c.Size) << c.Line; }
    }
}

// What the decoder made of an input fed in the given pieces.
struct TDecoded {
    std::string Body;
    TChunkDecoder::TEvent Last = TChunkDecoder::ceNeedMore;
    std::string Rest;  // the bytes after the body, once it is done
};

TDecoded Decode(const std::string& input, const std::vector<size_t>& cuts, size_t maxLine = 8192,
                size_t maxTrailer = 1 << 20, size_t maxData = SIZE_MAX) {
    TChunkDecoder decoder(maxLine, maxTrailer);
    TDecoded out;
    std::vector<size_t> points = cuts;
    points.push_back(input.size());
    size_t from = 0;
    for (size_t to : points) {
        const char* p = input.data() + from;
        const char* end = input.data() + to;
        for (;;) {
            const char* data = nullptr;
            size_t len = 0;
            out.Last = decoder.Next(p, end, maxData, data, len);
            if (out.Last == TChunkDecoder::ceData) {
                EXPECT_LE(len, maxData);
                out.Body.append(data, len);
                continue;
            }
            break;
        }
        if (out.Last == TChunkDecoder::ceDone) {
            out.Rest.assign(p, size_t(input.data() + input.size() - p));
            return out;
        }
        if (out.Last != TChunkDecoder::ceNeedMore) return out;
        EXPECT_EQ(p, end);
        from = to;
    }
    return out;
}

struct TDecodeCase {
    const char* Name;
    std::string Input;
    std::string Body;
    TChunkDecoder::TEvent Last;
    std::string Rest;
};

std::vector<TDecodeCase> DecodeCases() {
    using E = TChunkDecoder;
    return {
        {"two chunks", "5\r\nhello\r\n6\r\n world\r\n0\r\n\r\nREST", "hello world", E::ceDone, "REST"},
        {"LF line ends", "5\nhello\n0\n\n", "hello", E::ceDone, ""},
        {"trailer", "3\r\nabc\r\n0\r\nX: y\r\nZ: w\r\n\r\n", "abc", E::ceDone, ""},
        {"extensions", "3;a=\"b;c\"\r\nabc\r\n0;last\r\n\r\n", "abc", E::ceDone, ""},
        {"cut short in the data", "5\r\nhel", "hel", E::ceNeedMore, ""},
        {"cut short in the trailer", "1\r\na\r\n0\r\nX: 1\r\n", "a", E::ceNeedMore, ""},
        {"data longer than its size", "1\r\naX\r\n0\r\n\r\n", "a", E::ceBadChunk, ""},
        {"CR without LF after the data", "1\r\na\rX", "a", E::ceBadChunk, ""},
        {"bad size", "zz\r\n", "", E::ceBadChunk, ""},
        {"blanks after the size", "25  \r\n", "", E::ceBadChunk, ""},
        {"size line too long", "5;a=" + std::string(9000, 'v') + "\r\n", "", E::ceBadChunk, ""},
        {"trailer line too long", "0\r\nX: " + std::string(9000, 't'), "", E::ceLineTooLong, ""},
    };
}

void CheckDecoded(const TDecodeCase& c, const TDecoded& d, const std::string& how) {
    SCOPED_TRACE(std::string(c.Name) + " / " + how);
    EXPECT_EQ(d.Body, c.Body);
    EXPECT_EQ(d.Last, c.Last);
    EXPECT_EQ(d.Rest, c.Rest);
}

TEST(HttpChunk, DecoderFedWholeSplitAndByteByByte) {
    for (const TDecodeCase& c : DecodeCases()) {
        CheckDecoded(c, Decode(c.Input, {}), "whole");
        for (size_t cut = 1; cut < c.Input.size(); ++cut)
            CheckDecoded(c, Decode(c.Input, {cut}), "cut " + std::to_string(cut));
        std::vector<size_t> every;
        for (size_t i = 1; i < c.Input.size(); ++i) every.push_back(i);
        CheckDecoded(c, Decode(c.Input, every), "byte by byte");
    }
}

TEST(HttpChunk, DecoderBoundsAndLimits) {
    // Body bytes come in pieces of at most MaxData.
    TDecoded small = Decode("a\r\n0123456789\r\n0\r\n\r\n", {}, 8192, 1 << 20, 3);
    EXPECT_EQ(small.Body, "0123456789");
    EXPECT_EQ(small.Last, TChunkDecoder::ceDone);
    // Many short trailer lines: bounded by MaxTrailer.
    std::string many = "0\r\n";
    for (int i = 0; i < 20; ++i) many += "X: 1\r\n";
    EXPECT_EQ(Decode(many, {}, 64, 100).Last, TChunkDecoder::ceTrailerTooLarge);
    EXPECT_EQ(Decode(many + "\r\n", {}, 64, 1000).Last, TChunkDecoder::ceDone);
}

TEST(HttpChunk, FailureIsFinalAndResetStartsOver) {
    TChunkDecoder decoder(8192, 1 << 20);
    std::string bad = "x\r\n5\r\nhello\r\n";
    const char* p = bad.data();
    const char* data = nullptr;
    size_t len = 0;
    EXPECT_EQ(decoder.Next(p, bad.data() + bad.size(), 100, data, len), TChunkDecoder::ceBadChunk);
    EXPECT_FALSE(decoder.Pending());
    EXPECT_EQ(decoder.Next(p, bad.data() + bad.size(), 100, data, len), TChunkDecoder::ceBadChunk);
    decoder.Reset();
    EXPECT_TRUE(decoder.Pending());
    std::string good = "0\r\n\r\n";
    p = good.data();
    EXPECT_EQ(decoder.Next(p, good.data() + good.size(), 100, data, len), TChunkDecoder::ceDone);
    EXPECT_TRUE(decoder.Done());
}

}  // namespace
