// preview: the preview window TPreviewForm, which steps through the photos of the latest
// album. Created hidden at start-up and owned by the application until the program ends;
// closing it only hides it. Its controls and stepping arrive with the gallery work.
#pragma once

#include "ui/forms/Forms.h"

#include <cstdint>
#include <string>

class TPreviewForm : public TForm {
public:
    explicit TPreviewForm(TComponent* AOwner);

    int32_t PhotoIndex = 0;    // zero-based position of the photo to show
    std::string CurrentFile;   // full path of the photo file last composed from PhotoIndex
};
