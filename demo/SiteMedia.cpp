// SiteMedia: libjpeg encoding of the demo photos and the silent MP3 (see SiteMedia.h).
//
// The picture of a photo is a diagonal colour gradient, a few bands whose angle and
// colours come from the photo's seed, and noise from a seeded generator; the noise keeps
// the JPEG from compressing to nothing, so files land between a few tens and a few
// hundred kilobytes as real photos do.
#include "demo/SiteMedia.h"

#include "demo/SiteRange.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <stdexcept>
#include <tuple>
#include <utility>
#include <vector>

#include <jpeglib.h>

namespace {

// FNV-1a over the album id and the index: the photo's seed.
uint64_t PhotoSeed(const std::string& albumId, int index) {
    uint64_t h = 1469598103934665603ull;
    auto mix = [&h](unsigned char c) { h = (h ^ c) * 1099511628211ull; };
    for (char c : albumId) mix(static_cast<unsigned char>(c));
    mix(0);
    for (int i = 0; i < 4; ++i) mix(static_cast<unsigned char>(index >> (8 * i)));
    return h;
}

// splitmix64: small, fast and the same everywhere.
struct TRandom {
    uint64_t State;
    uint64_t Next() {
        uint64_t z = (State += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
};

std::vector<unsigned char> PaintPhoto(const std::string& albumId, int index, TPhotoSize size) {
    TRandom rnd{PhotoSeed(albumId, index)};
    const int base[3] = {int(rnd.Next() % 200), int(rnd.Next() % 200), int(rnd.Next() % 200)};
    const int band = 8 + int(rnd.Next() % 40);
    const int slope = 1 + int(rnd.Next() % 3);
    const int noise = 32 + int(rnd.Next() % 64);
    std::vector<unsigned char> rgb(size_t(size.Width) * size.Height * 3);
    size_t p = 0;
    for (int y = 0; y < size.Height; ++y) {
        for (int x = 0; x < size.Width; ++x) {
            bool inBand = ((x + slope * y) / band) % 2 == 0;
            uint64_t r = rnd.Next();
            for (int c = 0; c < 3; ++c) {
                int v = base[c] + (x * 55 / size.Width) + (y * 55 / size.Height) * c / 2 +
                        (inBand ? 30 : 0) + int((r >> (8 * c)) % noise) - noise / 2;
                rgb[p++] = static_cast<unsigned char>(v < 0 ? 0 : v > 255 ? 255 : v);
            }
        }
    }
    return rgb;
}

// libjpeg reports errors through exit() unless told otherwise; turn them into exceptions.
[[noreturn]] void ThrowJpegError(j_common_ptr cinfo) {
    char text[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, text);
    throw std::runtime_error(std::string("JPEG encoding failed: ") + text);
}

// Owns libjpeg's output buffer, which it allocates with malloc.
struct TJpegOutput {
    unsigned char* Data = nullptr;
    unsigned long Size = 0;
    ~TJpegOutput() { std::free(Data); }
};

struct TCompressor {
    jpeg_compress_struct Info{};
    jpeg_error_mgr Err{};
    TCompressor() {
        Info.err = jpeg_std_error(&Err);
        Err.error_exit = ThrowJpegError;
        jpeg_create_compress(&Info);
    }
    ~TCompressor() { jpeg_destroy_compress(&Info); }
};

std::string Encode(const std::vector<unsigned char>& rgb, TPhotoSize size, int quality) {
    TJpegOutput out;
    TCompressor c;
    jpeg_mem_dest(&c.Info, &out.Data, &out.Size);
    c.Info.image_width = JDIMENSION(size.Width);
    c.Info.image_height = JDIMENSION(size.Height);
    c.Info.input_components = 3;
    c.Info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c.Info);
    jpeg_set_quality(&c.Info, quality, TRUE);
    jpeg_start_compress(&c.Info, TRUE);
    while (c.Info.next_scanline < c.Info.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(&rgb[size_t(c.Info.next_scanline) * size.Width * 3]);
        jpeg_write_scanlines(&c.Info, &row, 1);
    }
    jpeg_finish_compress(&c.Info);
    return std::string(reinterpret_cast<const char*>(out.Data), out.Size);
}

}  // namespace

TPhotoSize DemoPhotoSize(const std::string& AlbumId, int Index) {
    uint64_t seed = PhotoSeed(AlbumId, Index);
    // Landscape and portrait photos between 320x240 and 800x600.
    static const TPhotoSize sizes[] = {{320, 240}, {480, 360}, {640, 480}, {800, 600},
                                       {360, 480}, {600, 800}};
    return sizes[(seed >> 20) % (sizeof(sizes) / sizeof(sizes[0]))];
}

std::string EncodeDemoPhoto(const std::string& AlbumId, int Index) {
    TPhotoSize size = DemoPhotoSize(AlbumId, Index);
    int quality = 85 + int((PhotoSeed(AlbumId, Index) >> 40) % 11);
    return Encode(PaintPhoto(AlbumId, Index, size), size, quality);
}

std::string PadJpeg(const std::string& Jpeg, size_t Size, uint64_t Seed) {
    // A COM segment: FF FE, a two-byte length counting itself, up to 65533 payload bytes.
    constexpr size_t MaxSegment = 4 + 65533;
    size_t pad = Size > Jpeg.size() ? Size - Jpeg.size() : 0;
    std::string out;
    out.reserve(Jpeg.size() + pad);
    out.append(Jpeg, 0, 2);  // SOI
    TRandom rnd{Seed};
    while (pad >= 4) {
        size_t segment = std::min(pad, MaxSegment);
        if (pad - segment > 0 && pad - segment < 4) segment -= 4;  // leave room for one more
        size_t payload = segment - 4;
        out += char(0xFF);
        out += char(0xFE);
        out += char((payload + 2) >> 8);
        out += char((payload + 2) & 0xFF);
        for (size_t i = 0; i < payload; ++i) out += char(rnd.Next() & 0xFF);
        pad -= segment;
    }
    out.append(Jpeg, 2, std::string::npos);
    return out;
}

TDemoPhoto DemoPhoto(const std::string& AlbumId, int Index, bool Big) {
    static std::mutex lock;
    static std::map<std::tuple<std::string, int, bool>, TDemoPhoto> cache;
    auto key = std::make_tuple(AlbumId, Index, Big);
    {
        std::lock_guard<std::mutex> guard(lock);
        auto it = cache.find(key);
        if (it != cache.end()) return it->second;
    }
    // Encode outside the lock; two threads racing for one photo make the same bytes.
    std::string jpeg = EncodeDemoPhoto(AlbumId, Index);
    if (Big) jpeg = PadJpeg(jpeg, BigPhotoBytes, PhotoSeed(AlbumId, Index) ^ 0xB16B16ull);
    TDemoPhoto photo;
    photo.ETag = ContentETag(jpeg);
    photo.Jpeg = std::make_shared<const std::string>(std::move(jpeg));
    std::lock_guard<std::mutex> guard(lock);
    return cache.emplace(key, photo).first->second;
}

std::shared_ptr<const std::string> DemoPhotoJpeg(const std::string& AlbumId, int Index) {
    return DemoPhoto(AlbumId, Index).Jpeg;
}

const std::string& SilentMp3() {
    static const std::string mp3 = [] {
        // Frame header: sync, MPEG-1 Layer III without CRC (FF FB), 128 kbit/s at
        // 44.1 kHz without padding (90), mono (C0). All-zero side information and main
        // data decode as silence.
        std::string frame(SilentMp3FrameBytes, '\0');
        frame[0] = char(0xFF);
        frame[1] = char(0xFB);
        frame[2] = char(0x90);
        frame[3] = char(0xC0);
        std::string all;
        for (int i = 0; i < 39; ++i) all += frame;  // 38.3 frames make one second
        return all;
    }();
    return mp3;
}
