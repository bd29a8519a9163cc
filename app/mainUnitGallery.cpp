// mainUnitGallery: the thumbnails' handlers of the main window: a click or the popup item
// "预览" opens the preview window on the thumbnail's photo, the popup item
// "打开图片所在目录" opens the latest album's folder.
//
// All three go through one guard (GuardedPhotoTag): the control must be an image holding
// a picture, and its Tag must name a photo of the current list. Thumbnails left over from
// an earlier, larger album keep their pictures but fail the guard, so they do nothing.
#include "app/mainUnit.h"

#include "app/preview.h"
#include "platform/shell/ShellApi.h"
#include "ui/forms/Backend.h"

int TMainForm::GuardedPhotoTag(TObject* Control) const {
    auto* image = dynamic_cast<TImage*>(Control);
    if (!image || !image->Picture().Graphic()) return 0;
    intptr_t tag = image->Tag();
    if (tag < 1 || tag > cbbPhotos->Items().Count()) return 0;
    return int(tag);
}

void TMainForm::OpenWithShell(const std::string& Target) {
    // Without a window system there is no desktop to open anything on: record the call.
    if (IsHeadless() && !ShellRecording()) SetShellRecording(true);
    // The toolkit's forms carry no system window handle; the launcher does not use one.
    ShellExecuteA(nullptr, nullptr, Target.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

namespace {

// Shows the preview window on the photo of the thumbnail with Tag t. A preview that is
// already showing only comes to the front: the new position takes effect at the next
// "<<" or ">>", so the picture the user is looking at does not change under them.
void OpenPreview(int t) {
    if (!PreviewForm) return;
    PreviewForm->PhotoIndex = t - 1;
    PreviewForm->Show();
}

}  // namespace

void TMainForm::Image1Click(TObject* Sender) {
    if (int t = GuardedPhotoTag(Sender)) OpenPreview(t);
}

void TMainForm::N1Click(TObject*) {
    if (int t = GuardedPhotoTag(popup1->PopupComponent())) OpenPreview(t);
}

void TMainForm::N3Click(TObject*) {
    if (GuardedPhotoTag(popup1->PopupComponent())) OpenWithShell(AlbumDir);
}
