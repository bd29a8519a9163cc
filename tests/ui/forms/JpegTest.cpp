// JPEG pictures: valid files load with their size, damaged and foreign files throw a
// clear EJPEGError, an empty file is an empty picture. Test images are made with libjpeg.
#include "platform/rtl/FileSys.h"
#include "ui/forms/ExtCtrls.h"
#include "ui/forms/Jpeg.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

extern "C" {
#include <jpeglib.h>
}

namespace {

// A width x height JPEG of a colour gradient.
std::string EncodeJpeg(int width, int height) {
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = JDIMENSION(width);
    c.image_height = JDIMENSION(height);
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 90, TRUE);
    jpeg_start_compress(&c, TRUE);
    std::vector<unsigned char> row(size_t(width) * 3);
    while (c.next_scanline < c.image_height) {
        for (int x = 0; x < width; x++) {
            row[size_t(x) * 3] = (unsigned char)(x * 255 / width);
            row[size_t(x) * 3 + 1] = (unsigned char)(c.next_scanline * 255 / c.image_height);
            row[size_t(x) * 3 + 2] = 128;
        }
        JSAMPROW p = row.data();
        jpeg_write_scanlines(&c, &p, 1);
    }
    jpeg_finish_compress(&c);
    std::string bytes(reinterpret_cast<char*>(out), size);
    jpeg_destroy_compress(&c);
    free(out);
    return bytes;
}

std::string WriteFile(const std::string& name, const std::string& bytes) {
    std::string path = PrivateTempDir() + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

}  // namespace

TEST(JpegTest, ValidFileLoadsWithItsSize) {
    TPicture picture;
    picture.LoadFromFile(WriteFile("valid.jpg", EncodeJpeg(40, 30)));
    ASSERT_NE(picture.Graphic(), nullptr);
    EXPECT_EQ(picture.Width(), 40);
    EXPECT_EQ(picture.Height(), 30);
    EXPECT_EQ(picture.Graphic()->Pixels().size(), 40u * 30u * 3u);
    EXPECT_FALSE(static_cast<TJPEGImage*>(picture.Graphic())->Damaged());
    // The extension is matched without regard to case.
    picture.LoadFromFile(WriteFile("upper.JPG", EncodeJpeg(8, 8)));
    EXPECT_EQ(picture.Width(), 8);
}

TEST(JpegTest, EmptyFileIsAnEmptyPicture) {
    TPicture picture;
    picture.LoadFromFile(WriteFile("empty.jpg", ""));
    ASSERT_NE(picture.Graphic(), nullptr);
    EXPECT_TRUE(picture.Graphic()->Empty());
    EXPECT_EQ(picture.Width(), 0);
}

TEST(JpegTest, UnreadableFilesThrowClearErrors) {
    std::string jpeg = EncodeJpeg(64, 48);
    struct Case {
        const char* Name;
        std::string Bytes;
        const char* Expect;  // part of the message
    } cases[] = {
        {"html.jpg", "<html><body>404 Not Found</body></html>", "Not a JPEG file"},
        {"header.jpg", jpeg.substr(0, 20), "JPEG"},
        {"marker.jpg", jpeg.substr(0, 2), "JPEG"},
        {"garbage.jpg", std::string(100, '\xff'), "JPEG"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        std::string path = WriteFile(c.Name, c.Bytes);
        TPicture picture;
        try {
            picture.LoadFromFile(path);
            ADD_FAILURE() << "no error";
        } catch (const EJPEGError& e) {
            EXPECT_NE(e.Message().find(c.Expect), std::string::npos) << e.Message();
            EXPECT_NE(e.Message().find(path), std::string::npos) << e.Message();
        }
    }
}

TEST(JpegTest, DataCutAfterTheHeaderDecodesAsDamaged) {
    std::string jpeg = EncodeJpeg(256, 192);
    TPicture picture;
    picture.LoadFromFile(WriteFile("cut.jpg", jpeg.substr(0, jpeg.size() * 3 / 4)));
    EXPECT_EQ(picture.Width(), 256);
    EXPECT_TRUE(static_cast<TJPEGImage*>(picture.Graphic())->Damaged());
}

TEST(JpegTest, FailedLoadKeepsThePreviousPictureAndOtherFailures) {
    TPicture picture;
    picture.LoadFromFile(WriteFile("keep.jpg", EncodeJpeg(16, 12)));
    EXPECT_THROW(picture.LoadFromFile(WriteFile("bad.jpg", "GIF89a")), EJPEGError);
    EXPECT_EQ(picture.Width(), 16);
    EXPECT_THROW(picture.LoadFromFile(PrivateTempDir() + "missing.jpg"), EInvalidGraphic);
    EXPECT_THROW(picture.LoadFromFile(WriteFile("image.xyz", "x")), EInvalidGraphic);
    EXPECT_EQ(picture.Width(), 16);
}

TEST(JpegTest, StretchedImageAndAutoSize) {
    TImage stretched(nullptr);
    stretched.SetBounds(0, 0, 75, 75);
    stretched.SetStretch(true);
    stretched.Picture().LoadFromFile(WriteFile("s.jpg", EncodeJpeg(200, 100)));
    EXPECT_EQ(stretched.Width(), 75);  // the control keeps its size
    EXPECT_EQ(stretched.Picture().Width(), 200) << "too small to decode at a reduced scale";
    // A large photo in a thumbnail decodes at the smallest scale that still covers it.
    stretched.Picture().LoadFromFile(WriteFile("big.jpg", EncodeJpeg(1600, 640)));
    EXPECT_EQ(stretched.Picture().Width(), 200);
    EXPECT_EQ(stretched.Picture().Height(), 80);
    TImage sized(nullptr);
    sized.SetAutoSize(true);
    sized.Picture().LoadFromFile(WriteFile("a.jpg", EncodeJpeg(200, 100)));
    EXPECT_EQ(sized.Width(), 200);
    EXPECT_EQ(sized.Height(), 100);
    sized.Picture().LoadFromFile(WriteFile("big.jpg", EncodeJpeg(1600, 640)));
    EXPECT_EQ(sized.Width(), 1600) << "an image at its own size decodes in full";
}
