// Graphics: colours, fonts and pictures (see Graphics.h).
#include "ui/forms/Graphics.h"

#include "platform/rtl/FileSys.h"
#include "ui/forms/Jpeg.h"

// ---- colours --------------------------------------------------------------------------

TColor ColorToRGB(TColor color) {
    if ((color & 0xFF000000) != 0x80000000) return color & 0xFFFFFF;
    // The system colours of a classic desktop theme, 0x00BBGGRR.
    switch (color & 0xFF) {
    case 0x05: return 0xFFFFFF;  // window
    case 0x08: return 0x000000;  // window text
    case 0x0D: return 0xC56A31;  // highlight
    case 0x0F: return 0xD8E9EC;  // button face
    case 0x11: return 0x808080;  // grey text
    case 0x1D: return 0xC56A31;  // menu highlight
    default: return 0x808080;
    }
}

// ---- fonts ----------------------------------------------------------------------------

void TFont::SetName(const std::string& v) {
    if (v == FName) return;
    FName = v;
    Changed();
}

void TFont::SetHeight(int v) {
    if (v == FHeight) return;
    FHeight = v;
    Changed();
}

void TFont::SetStyle(TFontStyles v) {
    if (v == FStyle) return;
    FStyle = v;
    Changed();
}

void TFont::SetColor(TColor v) {
    if (v == FColor) return;
    FColor = v;
    Changed();
}

bool TFont::SameAs(const TFont& o) const {
    return FName == o.FName && FHeight == o.FHeight && FStyle == o.FStyle && FColor == o.FColor;
}

void TFont::Assign(const TFont& source) {
    if (SameAs(source)) return;
    FName = source.FName;
    FHeight = source.FHeight;
    FStyle = source.FStyle;
    FColor = source.FColor;
    Changed();
}

// ---- graphics -------------------------------------------------------------------------

void TGraphic::Assign(int width, int height, std::vector<uint8_t> pixels) {
    FWidth = width;
    FHeight = height;
    FPixels = std::move(pixels);
}

void TBitmap::SetPixels(int width, int height, std::vector<uint8_t> rgb) {
    if (width < 0 || height < 0 || rgb.size() != size_t(width) * size_t(height) * 3)
        throw EInvalidGraphic("Bitmap pixels do not match its size");
    Assign(width, height, std::move(rgb));
}

void TBitmap::LoadFromFile(const std::string& fileName) {
    throw EInvalidGraphic("Bitmap files are not supported (\"" + fileName + "\")");
}

// ---- pictures -------------------------------------------------------------------------

void TPicture::SetGraphic(std::unique_ptr<TGraphic> graphic) {
    FGraphic = std::move(graphic);
    if (OnChange) OnChange();
}

void TPicture::LoadFromFile(const std::string& fileName) {
    std::string ext = LowerCase(ExtractFileExt(fileName));
    std::unique_ptr<TGraphic> g;
    if (ext == ".jpg" || ext == ".jpeg" || ext == ".jpe")
        g = std::make_unique<TJPEGImage>();
    else
        throw EInvalidGraphic("Unknown picture file extension (" + ext + ")");
    if (DecodeSizeHint) {
        auto size = DecodeSizeHint();
        g->SetDecodeSize(size.first, size.second);
    }
    g->LoadFromFile(fileName);  // throws before the old graphic is replaced
    SetGraphic(std::move(g));
}

void TPicture::Clear() {
    if (!FGraphic) return;
    SetGraphic(nullptr);
}
