// Demo site media: generated photos are valid, deterministic and distinct JPEGs; the
// music is a run of valid silent MPEG audio frames.
#include "demo/SiteAlbums.h"
#include "demo/SiteMedia.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <stdexcept>
#include <string>

#include <jpeglib.h>

namespace {

[[noreturn]] void ThrowDecodeError(j_common_ptr cinfo) {
    char text[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, text);
    throw std::runtime_error(text);
}

// Decodes Jpeg fully; returns its size. Throws on any decoding error or warning.
TPhotoSize Decode(const std::string& jpeg) {
    jpeg_decompress_struct info{};
    jpeg_error_mgr err{};
    info.err = jpeg_std_error(&err);
    err.error_exit = ThrowDecodeError;
    jpeg_create_decompress(&info);
    struct TGuard { jpeg_decompress_struct* i; ~TGuard() { jpeg_destroy_decompress(i); } } guard{&info};
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(jpeg.data()), jpeg.size());
    jpeg_read_header(&info, TRUE);
    jpeg_start_decompress(&info);
    std::vector<unsigned char> row(size_t(info.output_width) * info.output_components);
    while (info.output_scanline < info.output_height) {
        JSAMPROW p = row.data();
        jpeg_read_scanlines(&info, &p, 1);
    }
    jpeg_finish_decompress(&info);
    if (err.num_warnings) throw std::runtime_error("corrupt data warnings");
    return {int(info.output_width), int(info.output_height)};
}

TEST(SiteMedia, PhotosDecodeWithTheirAnnouncedSizeAndReasonableLength) {
    std::set<std::string> distinct;
    for (const char* id : {"spring12", "slow", "cutoff"}) {
        const TDemoAlbum* a = FindDemoAlbum(id);
        for (int i = 0; i < a->PhotoCount; ++i) {
            auto jpeg = DemoPhotoJpeg(a->Id, i);
            TPhotoSize expected = DemoPhotoSize(a->Id, i);
            TPhotoSize got = Decode(*jpeg);
            EXPECT_EQ(got.Width, expected.Width);
            EXPECT_EQ(got.Height, expected.Height);
            EXPECT_GE(jpeg->size(), 10u * 1024) << id << i;
            EXPECT_LE(jpeg->size(), 600u * 1024) << id << i;
            distinct.insert(*jpeg);
        }
    }
    EXPECT_EQ(distinct.size(), 12u + 3u + 5u);
}

TEST(SiteMedia, PhotosAreDeterministicAndCached) {
    auto a = DemoPhotoJpeg("night40", 7);
    EXPECT_EQ(DemoPhotoJpeg("night40", 7).get(), a.get());  // the cached object
    EXPECT_EQ(EncodeDemoPhoto("night40", 7), *a);            // a fresh encoding is equal
    EXPECT_NE(EncodeDemoPhoto("night40", 8), *a);
    EXPECT_NE(EncodeDemoPhoto("bench200", 7), *a);
}

TEST(SiteMedia, BigPhotosArePaddedToTheirSizeAndStillDecode) {
    for (const char* id : {"bigphoto", "norange"}) {
        TDemoPhoto big = DemoPhoto(id, 0, true);
        ASSERT_EQ(big.Jpeg->size(), BigPhotoBytes) << id;
        EXPECT_EQ(big.Jpeg->substr(0, 4), "\xFF\xD8\xFF\xFE");  // a comment segment first
        TPhotoSize got = Decode(*big.Jpeg);
        EXPECT_EQ(got.Width, DemoPhotoSize(id, 0).Width);
        EXPECT_EQ(got.Height, DemoPhotoSize(id, 0).Height);
        EXPECT_NE(big.ETag, DemoPhoto(id, 0).ETag);
        EXPECT_EQ(DemoPhoto(id, 0, true).Jpeg.get(), big.Jpeg.get());  // cached
    }
    // Every padding length from a whole segment on both sides of the split.
    const std::string small = EncodeDemoPhoto("dots", 0);
    for (size_t extra : {4u, 5u, 65537u, 65538u, 65540u, 65541u, 131074u, 131075u, 200000u}) {
        std::string padded = PadJpeg(small, small.size() + extra, 7);
        ASSERT_EQ(padded.size(), small.size() + extra) << extra;
        EXPECT_NO_THROW(Decode(padded)) << extra;
    }
}

TEST(SiteMedia, SilentMp3IsWholeMpegFrames) {
    const std::string& mp3 = SilentMp3();
    ASSERT_EQ(mp3.size() % SilentMp3FrameBytes, 0u);
    EXPECT_GE(mp3.size() / SilentMp3FrameBytes, 38u);  // about a second at 38.3 frames/s
    for (size_t off = 0; off < mp3.size(); off += SilentMp3FrameBytes) {
        const auto* h = reinterpret_cast<const unsigned char*>(mp3.data() + off);
        ASSERT_EQ(h[0], 0xFF);
        ASSERT_EQ(h[1] & 0xFE, 0xFA);          // sync, MPEG-1, Layer III
        int bitrateIndex = h[2] >> 4, rateIndex = (h[2] >> 2) & 3, padding = (h[2] >> 1) & 1;
        ASSERT_EQ(bitrateIndex, 9);            // 128 kbit/s
        ASSERT_EQ(rateIndex, 0);               // 44.1 kHz
        ASSERT_EQ(144 * 128000 / 44100 + padding, SilentMp3FrameBytes);
    }
}

}  // namespace
