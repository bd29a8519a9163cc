// jpeg_fuzz: any bytes given to the JPEG decoder either decode or throw EJPEGError; the
// decoder never ends the process, reads outside its input or allocates without bound.
#include "ui/forms/Jpeg.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TJPEGImage image;
    try {
        image.LoadFromMemory(data, size, "fuzz");
    } catch (const EJPEGError&) {
    }
    return 0;
}
