// vo: the value objects of the album layer.
//
// TBaseVO is the root of the value objects. TPhotoObject is one photo of an album; of its
// fields only ImagePath is used: the image's address exactly as the album XML wrote it.
// The other fields keep the record's layout and stay zero or empty. TPhotoList is the
// list the parser returns: it owns its records, and the caller owns the list.
#pragma once

#include "platform/rtl/Classes.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TBaseVO : public TObject {};

class TPhotoObject : public TBaseVO {
public:
    // Reserved fields, in the record's declaration order; nothing sets or reads them.
    int32_t Reserved1 = 0;
    int32_t Reserved2 = 0;
    std::string ReservedText1;
    std::string ReservedText2;
    std::string ReservedText3;
    std::string ReservedText4;
    std::string ReservedText5;
    std::string ReservedText6;

    const std::string& ImagePath() const { return FImagePath; }
    void SetImagePath(const std::string& path) { FImagePath = path; }

private:
    std::string FImagePath;
};

// The photos of one album in album order. Owns its records.
using TPhotoList = std::vector<std::unique_ptr<TPhotoObject>>;
