// Jpeg: JPEG pictures decoded with libjpeg.
//
// libjpeg's default error handler ends the process; ours turns every fatal decoding error
// into an EJPEGError carrying libjpeg's own text and the file name. The decoder works on
// a copy of the file in memory, so a file that changes while it is read cannot take it
// outside its buffer. Images larger than JpegMaxPixels are refused before any pixel
// memory is allocated. A file whose header is sound but whose data ends early decodes as
// far as it goes (libjpeg fills the rest) and is marked Damaged(): a cut-off download shows
// what arrived instead of failing.
#pragma once

#include "ui/forms/Graphics.h"

#include <cstddef>
#include <cstdint>
#include <string>

class EJPEGError : public EInvalidGraphic { using EInvalidGraphic::EInvalidGraphic; };

// Upper bound of Width * Height accepted by the decoder (guards memory).
constexpr uint64_t JpegMaxPixels = 64ull * 1024 * 1024;

class TJPEGImage : public TGraphic {
public:
    // Reads and decodes the whole file. An empty file gives an empty image. Throws
    // EInvalidGraphic when the file cannot be read, EJPEGError when it is no JPEG.
    void LoadFromFile(const std::string& fileName) override;
    // Decodes a JPEG held in memory; Source names it in error messages.
    void LoadFromMemory(const uint8_t* data, size_t size, const std::string& source);
    // libjpeg reported damaged or missing data after a readable header.
    bool Damaged() const { return FDamaged; }

private:
    bool FDamaged = false;
};
