// preview: the preview window TPreviewForm, which steps through the photos of the latest
// album. Created hidden at start-up and owned by the application until the program ends;
// closing it (its close button, the title-bar close box, a click on its surface) only
// hides it.
//
// The window shows the file AlbumDir + PhotoIndex + ".jpg"; "<<" and ">>" step PhotoIndex
// through the photo list of the main window (cbbPhotos), wrapping around at both ends,
// with the count as it is at the moment of the click. A photo whose file does not exist
// shows an empty picture, never the previous photo under another position. The photo
// sits at the top-left corner of the picture area (img1's place in the layout, 537 x
// 561) at its own size; a larger one is scaled down to fit, keeping its aspect, and none
// is enlarged, so no photo reaches under the buttons.
#pragma once

#include "ui/forms/ExtCtrls.h"
#include "ui/forms/Forms.h"
#include "ui/forms/StdCtrls.h"

#include <cstdint>
#include <string>

class TPreviewForm : public TForm {
public:
    explicit TPreviewForm(TComponent* AOwner);

    // ---- controls (owned by the form) ----
    TImage* img1;      // the photo, sized to it within the picture area
    TButton* btn1;     // "<<": previous photo
    TButton* Button1;  // ">>": next photo
    TButton* btn3;     // closes (hides) the window

    int32_t PhotoIndex = 0;    // zero-based position of the photo to show
    std::string CurrentFile;   // full path of the photo file last composed from PhotoIndex

    // Composes CurrentFile from AlbumDir and PhotoIndex and shows that file in img1: an
    // empty picture when no such file exists. Throws EInvalidGraphic when the file cannot
    // be decoded; img1 is then empty as well.
    void ShowPhoto();

    // ---- event handlers ----
    void FormShow(TObject* Sender);     // shows the photo at PhotoIndex
    void FormClick(TObject* Sender);    // a click on the window's surface hides it
    void btn1Click(TObject* Sender);    // previous photo, from the first to the last
    void Button1Click(TObject* Sender); // next photo, from the last to the first
    void btn3Click(TObject* Sender);    // closes the window, which hides it

private:
    // Sizes img1 to its picture, scaled down to the picture area when larger.
    void FitPicture();
    // The number of photos in the main window's photo list (0 without a main window).
    int PhotoCount() const;
};
