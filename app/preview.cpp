// preview: the preview window (see preview.h).
//
// The constructor builds the controls in layout order at their fixed places (client
// coordinates of the 918 x 654 window); the handlers below do the stepping. Every picture
// change goes through ShowPhoto, so the picture always belongs to CurrentFile.
#include "app/preview.h"

#include "app/mainUnit.h"
#include "platform/rtl/FileSys.h"
#include "platform/rtl/SysUtils.h"

namespace {

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

    img1 = Place<TImage>(this, "img1", 168, 16, 537, 561);
    img1->SetAutoSize(true);
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
    // The image sizes itself to each picture: a smaller photo leaves part of the old one's
    // area uncovered, so the whole surface is repainted, also when loading fails.
    Invalidate();
    if (FileExists(CurrentFile)) img1->Picture().LoadFromFile(CurrentFile);
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
