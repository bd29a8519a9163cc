// Jpeg: JPEG decoding through libjpeg with an error manager that never exits.
//
// libjpeg reports a fatal error by calling error_exit, which must not return. We leave
// through longjmp back into DecodeJpeg, whose frame holds no object with a destructor
// between setjmp and the calls that may jump, and turn the saved message into an
// exception there, after the decompressor has been destroyed.
#include "ui/forms/Jpeg.h"

#include "platform/rtl/Classes.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

extern "C" {
#include <jpeglib.h>
#include <jerror.h>
}

namespace {

struct TJpegErrorMgr {
    jpeg_error_mgr Pub;       // libjpeg's part; must come first
    jmp_buf Jump;             // where error_exit returns to
    char Message[JMSG_LENGTH_MAX];
    int Warnings;             // corrupt-data warnings seen (damaged image)
    bool EndOfData;           // the data ran out and libjpeg inserted an end marker
};

extern "C" void JpegErrorExit(j_common_ptr cinfo) {
    auto* err = reinterpret_cast<TJpegErrorMgr*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->Message);
    longjmp(err->Jump, 1);
}

// Warnings (level -1) mean corrupt data; libjpeg goes on after them. Trace messages
// (level >= 0) are ignored. Nothing is printed.
extern "C" void JpegEmitMessage(j_common_ptr cinfo, int level) {
    if (level >= 0) return;
    auto* err = reinterpret_cast<TJpegErrorMgr*>(cinfo->err);
    err->Warnings++;
    if (cinfo->err->msg_code == JWRN_JPEG_EOF) err->EndOfData = true;
}

extern "C" void JpegOutputMessage(j_common_ptr) {}

// The outcome of one decode, filled by DecodeJpeg.
struct TDecoded {
    int Width = 0;
    int Height = 0;
    std::vector<uint8_t> Pixels;
    bool Damaged = false;
    bool TooLarge = false;
};

// Decodes Data into Out. Returns false with Err.Message set on a fatal libjpeg error.
// Out is owned by the caller, so a longjmp out of libjpeg skips no destructor.
// The largest libjpeg scale denominator (1, 2, 4 or 8) whose image still covers
// MinWidth x MinHeight; 1 when no size is asked for.
unsigned ScaleDenominator(unsigned width, unsigned height, int minWidth, int minHeight) {
    if (minWidth <= 0 || minHeight <= 0) return 1;
    unsigned denom = 8;
    while (denom > 1 && (width / denom < unsigned(minWidth) || height / denom < unsigned(minHeight))) denom /= 2;
    return denom;
}

bool DecodeJpeg(const uint8_t* data, size_t size, int minWidth, int minHeight, TDecoded& out,
                TJpegErrorMgr& err) {
    jpeg_decompress_struct cinfo;
    cinfo.err = jpeg_std_error(&err.Pub);
    err.Pub.error_exit = JpegErrorExit;
    err.Pub.emit_message = JpegEmitMessage;
    err.Pub.output_message = JpegOutputMessage;
    err.Warnings = 0;
    err.EndOfData = false;
    err.Message[0] = 0;
    if (setjmp(err.Jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, const_cast<unsigned char*>(data), static_cast<unsigned long>(size));
    jpeg_read_header(&cinfo, TRUE);
    // A header cut short gives libjpeg's "premature end" warning before the image size is
    // known; such a file has no usable header, so it is refused here.
    if (err.EndOfData) {
        std::snprintf(err.Message, sizeof err.Message, "Premature end of JPEG file within the header");
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    cinfo.out_color_space = JCS_RGB;
    cinfo.scale_num = 1;
    cinfo.scale_denom = ScaleDenominator(cinfo.image_width, cinfo.image_height, minWidth, minHeight);
    jpeg_start_decompress(&cinfo);
    uint64_t pixels = uint64_t(cinfo.output_width) * cinfo.output_height;
    if (pixels > JpegMaxPixels || cinfo.output_components != 3) {
        out.TooLarge = pixels > JpegMaxPixels;
        std::snprintf(err.Message, sizeof err.Message, "Unsupported JPEG image of %ux%u pixels",
                      unsigned(cinfo.output_width), unsigned(cinfo.output_height));
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    out.Width = int(cinfo.output_width);
    out.Height = int(cinfo.output_height);
    out.Pixels.resize(size_t(pixels) * 3);
    size_t stride = size_t(out.Width) * 3;
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = out.Pixels.data() + size_t(cinfo.output_scanline) * stride;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    out.Damaged = err.Warnings > 0;
    jpeg_destroy_decompress(&cinfo);
    return true;
}

}  // namespace

void TJPEGImage::LoadFromFile(const std::string& fileName) {
    std::vector<uint8_t> data;
    try {
        TFileStream f(fileName, fmOpenRead);
        int64_t size = f.Size();
        data.resize(size_t(size));
        if (size > 0) f.ReadBuffer(data.data(), size);
    } catch (const Exception& e) {
        throw EInvalidGraphic("Cannot load picture \"" + fileName + "\": " + e.Message());
    }
    LoadFromMemory(data.data(), data.size(), fileName);
}

void TJPEGImage::LoadFromMemory(const uint8_t* data, size_t size, const std::string& source) {
    if (size == 0) {
        Assign(0, 0, {});
        FDamaged = false;
        return;
    }
    TDecoded out;
    TJpegErrorMgr err;
    if (!DecodeJpeg(data, size, FDecodeWidth, FDecodeHeight, out, err))
        throw EJPEGError("JPEG error in \"" + source + "\": " + err.Message);
    Assign(out.Width, out.Height, std::move(out.Pixels));
    FDamaged = out.Damaged;
}
