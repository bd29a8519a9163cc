// preview: the preview window (see preview.h).
//
// The constructor builds the controls in layout order at their fixed places (client
// coordinates of the 918 x 654 window); the handlers below do the stepping. Every picture
// change goes through ShowPhoto, so the picture always belongs to CurrentFile.
#include "app/preview.h"

#include "app/mainUnit.h"
#include "platform/rtl/FileSys.h"
#include "platform/rtl/SysUtils.h"

#include <algorithm>

namespace {

// The picture area: img1's place in the layout.
constexpr int PictureLeft = 168, PictureTop = 16, PictureWidth = 537, PictureHeight = 561;

TNotifyEvent Handler(TPreviewForm* form, void (TPreviewForm::*method)(TObject*)) {
    return [form, method](TObject* sender) { (form->*method)(sender); };
}

template <class T>
T* Place(TPreviewForm* form, const char* name, int left, int top, int width, int height) {
    T* c = new T(form);  // owned by the form
    c->SetName(name);
    c->SetBounds(left, top, width, height);
    c->SetParent(form);
    return c;
}

}  // namespace

TPreviewForm::TPreviewForm(TComponent* AOwner) : TForm(AOwner) {
    SetName("PreviewForm");
    SetCaption("预览图片");
    SetBounds(0, 0, 918, 654);
    SetPosition(poScreenCenter);
    SetFormStyle(fsStayOnTop);
    SetColor(clBtnFace);
    Font().SetName("Tahoma");
    Font().SetHeight(-11);
    OnShow = Handler(this, &TPreviewForm::FormShow);
    OnClick = Handler(this, &TPreviewForm::FormClick);
    // Closing hides the window (the toolkit's default action for a form that is not the
    // main form): it lives until the program ends.
    OnClose = [](TObject*, TCloseAction& action) { action = caHide; };

    img1 = Place<TImage>(this, "img1", PictureLeft, PictureTop, PictureWidth, PictureHeight);
    // Sized to each photo by FitPicture and stretched to that size.
    img1->SetStretch(true);
    btn1 = Place<TButton>(this, "btn1", 56, 240, 65, 57);
    btn1->SetCaption("<<");
    btn1->OnClick = Handler(this, &TPreviewForm::btn1Click);
    Button1 = Place<TButton>(this, "Button1", 792, 240, 65, 57);
    Button1->SetCaption(">>");
    Button1->OnClick = Handler(this, &TPreviewForm::Button1Click);
    // The standard close button: a close mark and the caption.
    btn3 = Place<TButton>(this, "btn3", 784, 472, 75, 25);
    btn3->SetCaption("× 关闭");
    btn3->OnClick = Handler(this, &TPreviewForm::btn3Click);
}

int TPreviewForm::PhotoCount() const { return MainForm ? MainForm->cbbPhotos->Items().Count() : 0; }

void TPreviewForm::ShowPhoto() {
    CurrentFile = AlbumDir + IntToStr(PhotoIndex) + ".jpg";
    // Cleared first, so that a missing or undecodable file never leaves the previous
    // photo standing under this position.
    img1->Picture().Clear();
    // The whole area while loading: a stretched image decodes a large photo only at the
    // scale its control needs, which must be the area, not the previous photo's size.
    img1->SetBounds(PictureLeft, PictureTop, PictureWidth, PictureHeight);
    // A smaller photo leaves part of the old one's area uncovered, so the whole surface
    // is repainted, also when loading fails.
    Invalidate();
    if (FileExists(CurrentFile)) img1->Picture().LoadFromFile(CurrentFile);
    FitPicture();
}

void TPreviewForm::FitPicture() {
    int w = img1->Picture().Width(), h = img1->Picture().Height();
    if (w <= 0 || h <= 0) return;
    // Scaled by the smaller of the two ratios (compared in integers, without rounding
    // twice), so that the photo keeps its aspect.
    if (w > PictureWidth || h > PictureHeight) {
        if (int64_t(w) * PictureHeight > int64_t(h) * PictureWidth) {
            h = std::max(1, int(int64_t(h) * PictureWidth / w));
            w = PictureWidth;
        } else {
            w = std::max(1, int(int64_t(w) * PictureHeight / h));
            h = PictureHeight;
        }
    }
    img1->SetBounds(PictureLeft, PictureTop, w, h);
}

void TPreviewForm::FormShow(TObject*) { ShowPhoto(); }

void TPreviewForm::FormClick(TObject*) { Hide(); }

void TPreviewForm::btn1Click(TObject*) {
    PhotoIndex--;
    // With an empty photo list the index stays at 0 rather than going to -1.
    if (PhotoIndex < 0) PhotoIndex = PhotoCount() > 0 ? PhotoCount() - 1 : 0;
    ShowPhoto();
}

void TPreviewForm::Button1Click(TObject*) {
    PhotoIndex++;
    if (PhotoIndex > PhotoCount() - 1) PhotoIndex = 0;
    ShowPhoto();
}

void TPreviewForm::btn3Click(TObject*) { Close(); }
