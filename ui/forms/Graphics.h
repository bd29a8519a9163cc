// Graphics: colours, fonts, pictures and the graphics they hold.
//
// A graphic is a decoded image: Width x Height pixels of 8-bit RGB, rows top to bottom,
// held in memory so that any backend can draw it. A picture holds at most one graphic and
// loads it from a file chosen by the file's extension (".jpg"/".jpeg" through libjpeg).
// An empty file loads as an empty graphic (0 x 0), which is a picture without pixels and
// not an error. Failures throw EInvalidGraphic (or its JPEG subclass) with a message that
// names the file and the cause.
#pragma once

#include "platform/rtl/SysUtils.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// ---- colours --------------------------------------------------------------------------

// 0x00BBGGRR for plain colours; 0x800000nn for the system colour number nn.
using TColor = uint32_t;

constexpr TColor clBlack = 0x000000;
constexpr TColor clWhite = 0xFFFFFF;
constexpr TColor clRed = 0x0000FF;
constexpr TColor clBlue = 0xFF0000;
constexpr TColor clNavy = 0x800000;
constexpr TColor clGray = 0x808080;
constexpr TColor clWindow = 0x80000005;
constexpr TColor clWindowText = 0x80000008;
constexpr TColor clHighlight = 0x8000000D;
constexpr TColor clBtnFace = 0x8000000F;
constexpr TColor clGrayText = 0x80000011;
constexpr TColor clMenuHighlight = 0x8000001D;  // highlighted menu items

// The plain colour a (system) colour stands for, 0x00BBGGRR.
TColor ColorToRGB(TColor color);
inline uint8_t GetRValue(TColor c) { return uint8_t(c & 0xFF); }
inline uint8_t GetGValue(TColor c) { return uint8_t((c >> 8) & 0xFF); }
inline uint8_t GetBValue(TColor c) { return uint8_t((c >> 16) & 0xFF); }

// ---- fonts ----------------------------------------------------------------------------

enum : uint32_t { fsBold = 1, fsItalic = 2, fsUnderline = 4, fsStrikeOut = 8 };
using TFontStyles = uint32_t;

// A font description. Height below zero is the character height in pixels (the layout's
// convention); Size is the same in points at 96 dots per inch. Every change runs OnChange.
class TFont {
public:
    const std::string& Name() const { return FName; }
    void SetName(const std::string& v);
    int Height() const { return FHeight; }
    void SetHeight(int v);
    int Size() const { return (-FHeight * 72 + 48) / 96; }
    // Character height in pixels, whatever the sign convention of Height.
    int PixelHeight() const { return FHeight < 0 ? -FHeight : FHeight; }
    TFontStyles Style() const { return FStyle; }
    void SetStyle(TFontStyles v);
    TColor Color() const { return FColor; }
    void SetColor(TColor v);
    // Copies every value of Source (not its OnChange); one OnChange when anything differs.
    void Assign(const TFont& source);
    bool SameAs(const TFont& other) const;

    std::function<void()> OnChange;

private:
    void Changed() {
        if (OnChange) OnChange();
    }
    std::string FName = "Tahoma";
    int FHeight = -11;
    TFontStyles FStyle = 0;
    TColor FColor = clWindowText;
};

// ---- graphics -------------------------------------------------------------------------

// A picture that cannot be loaded: unknown extension, unreadable or damaged file.
class EInvalidGraphic : public Exception { using Exception::Exception; };

// Decoded pixels. Width() == 0 or Height() == 0 means empty.
class TGraphic {
public:
    virtual ~TGraphic() = default;
    int Width() const { return FWidth; }
    int Height() const { return FHeight; }
    bool Empty() const { return FWidth == 0 || FHeight == 0; }
    // RGB triples, Width * Height * 3 bytes, rows top to bottom.
    const std::vector<uint8_t>& Pixels() const { return FPixels; }
    // Replaces the content with the graphic in the file; throws EInvalidGraphic.
    virtual void LoadFromFile(const std::string& fileName) = 0;
    // A graphic that is only ever shown scaled down to Width x Height may be decoded at a
    // reduced size that still covers it (0 x 0: full size). Formats that cannot decode at
    // a reduced size ignore it.
    void SetDecodeSize(int width, int height) {
        FDecodeWidth = width;
        FDecodeHeight = height;
    }

protected:
    void Assign(int width, int height, std::vector<uint8_t> pixels);
    int FDecodeWidth = 0;
    int FDecodeHeight = 0;

private:
    int FWidth = 0;
    int FHeight = 0;
    std::vector<uint8_t> FPixels;
};

// A graphic built in memory (tests and generated pictures).
class TBitmap : public TGraphic {
public:
    void SetPixels(int width, int height, std::vector<uint8_t> rgb);
    void LoadFromFile(const std::string& fileName) override;
};

// Holds one graphic, loaded by file extension.
class TPicture {
public:
    TGraphic* Graphic() const { return FGraphic.get(); }
    void SetGraphic(std::unique_ptr<TGraphic> graphic);
    int Width() const { return FGraphic ? FGraphic->Width() : 0; }
    int Height() const { return FGraphic ? FGraphic->Height() : 0; }
    // Loads FileName as the graphic class of its extension. Throws EInvalidGraphic for an
    // unknown extension or an unreadable file, leaving the previous graphic in place.
    void LoadFromFile(const std::string& fileName);
    // Drops the graphic.
    void Clear();

    std::function<void()> OnChange;
    // Asked at each load for the size the picture will be shown at when it is only shown
    // scaled down (a stretched thumbnail); empty or 0 x 0 decodes at full size.
    std::function<std::pair<int, int>()> DecodeSizeHint;

private:
    std::unique_ptr<TGraphic> FGraphic;
};
