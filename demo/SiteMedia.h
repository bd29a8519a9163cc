// SiteMedia: the demo site's generated binary content: JPEG photos and a silent MP3.
//
// Photos are encoded with libjpeg from a picture computed out of the album id and the
// photo's position alone (gradients, bands and seeded noise), so the same photo has the
// same bytes on every run and no two photos are alike. Encoding costs a few milliseconds,
// so each photo is encoded once and kept in memory; the cache is shared by all threads.
#pragma once

#include <memory>
#include <string>

struct TPhotoSize {
    int Width = 0;
    int Height = 0;
};

// The dimensions photo Index of album AlbumId has.
TPhotoSize DemoPhotoSize(const std::string& AlbumId, int Index);

// The JPEG bytes of photo Index of album AlbumId (cached). Throws std::runtime_error when
// libjpeg fails, which does not happen for the site's fixed sizes.
std::shared_ptr<const std::string> DemoPhotoJpeg(const std::string& AlbumId, int Index);

// Encodes one picture without caching (exposed for the tests).
std::string EncodeDemoPhoto(const std::string& AlbumId, int Index);

// One second of silence as MPEG-1 Layer III frames (128 kbit/s, 44.1 kHz, mono).
const std::string& SilentMp3();

// Bytes of one frame of SilentMp3 (417: 144 * 128000 / 44100, no padding).
constexpr int SilentMp3FrameBytes = 417;
