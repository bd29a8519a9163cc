// SiteMedia: the demo site's generated binary content: JPEG photos and a silent MP3.
//
// Photos are encoded with libjpeg from a picture computed out of the album id and the
// photo's position alone (gradients, bands and seeded noise), so the same photo has the
// same bytes on every run and no two photos are alike. A big photo is such a photo padded
// to BigPhotoBytes with comment segments of seeded noise right after its start marker,
// so it still decodes as the same picture. Encoding costs a few milliseconds, so each
// photo is encoded once and kept in memory with its entity tag; the cache is shared by
// all threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct TPhotoSize {
    int Width = 0;
    int Height = 0;
};

// The dimensions photo Index of album AlbumId has.
TPhotoSize DemoPhotoSize(const std::string& AlbumId, int Index);

struct TDemoPhoto {
    std::shared_ptr<const std::string> Jpeg;
    std::string ETag;  // ContentETag of the bytes
};

// Bytes of a big photo: 8 MiB.
constexpr size_t BigPhotoBytes = size_t(8) << 20;

// Photo Index of album AlbumId, big or of its natural size (cached). Throws
// std::runtime_error when libjpeg fails, which does not happen for the site's fixed sizes.
TDemoPhoto DemoPhoto(const std::string& AlbumId, int Index, bool Big = false);
// The JPEG bytes of DemoPhoto(AlbumId, Index).
std::shared_ptr<const std::string> DemoPhotoJpeg(const std::string& AlbumId, int Index);

// Encodes one picture without caching (exposed for the tests).
std::string EncodeDemoPhoto(const std::string& AlbumId, int Index);
// Jpeg with comment segments inserted after its start marker, Size bytes in all (at
// least Jpeg's size + 4).
std::string PadJpeg(const std::string& Jpeg, size_t Size, uint64_t Seed);

// One second of silence as MPEG-1 Layer III frames (128 kbit/s, 44.1 kHz, mono).
const std::string& SilentMp3();

// Bytes of one frame of SilentMp3 (417: 144 * 128000 / 44100, no padding).
constexpr int SilentMp3FrameBytes = 417;
